# Sourced by the Windows end-to-end scripts (test-windows-e2e.sh, test-windows-lan.sh).
#
# write_panel FILE FROM_SEED SRAM_SEED [TEXT]: writes a kzpanel-sim description of the demo
# model (core ID 8C93, 1 MiB FROM, 128 KiB SRAM) whose memory is filled from the pattern
# seeds FROM_SEED (FROM) and SRAM_SEED (SRAM); TEXT, when given, is patched in at FROM
# address 100 so that two panels differ where a reader looks first.
write_panel() {
    cat >"$1" <<PANEL
[panel]
coreid = 8C93
signature1 = 8C930001
signature2 = 00001234
from = 100000
dram = 400000
sram = 20000
[io]
A00000 = C3
[region]
name = FROM
start = 0
size = 100000
fill = pattern $2
[region]
name = SRAM
start = 400000
size = 20000
fill = pattern $3
PANEL
    if [ -n "${4:-}" ]; then
        printf '[patch]\n100 = "%s"\n' "$4" >>"$1"
    fi
}
