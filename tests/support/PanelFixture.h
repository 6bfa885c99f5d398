// A simulated panel for scenario tests: a panel description that fits a model section, the
// loader file the PC downloads, and a Panel running on the panel end of a virtual link.
//
//   kz::test::PanelFixture panel;                       // small test panel, fresh link
//   folder.dir().Write("ILOADER.BIN", LoaderText(...)); // the loader the PC sends
//   ... ModelSection(panel.description(), {}) into KZMNT.INI ...
//   EXPECT_TRUE(panel->MemoryEquals(0, image));
//
// Thread-safety: build and destroy on the test thread; Panel methods are thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/SerialDevice.h"
#include "platform/VirtualSerial.h"
#include "sim/Panel.h"
#include "sim/PanelDescription.h"
#include "support/LoaderFile.h"

namespace kz::test {

// A small panel: core ID 8C93, no password, signature 1 8C930001, signature 2 00001234,
// I/O code register 00A00000 = C3, FROM of fromBytes at 00000000 (pattern 1), SRAM of
// sramBytes at 00400000 (pattern 2; none when 0), hardware sizes fromBytes / 100000 /
// sramBytes. The defaults make 64 KiB of FROM and 16 KiB of SRAM.
sim::PanelDescription TestPanel(std::uint32_t fromBytes = 0x10000,
                                std::uint32_t sramBytes = 0x4000);

// The image a region of description holds before anything is written: the fill with the
// patches over it.
std::vector<std::uint8_t> ExpectedMemory(const sim::PanelDescription& description,
                                         std::uint32_t address, std::size_t size);

// Choices for a model section that fits a panel description.
struct ModelChoices {
    std::string name = "KZ-TEST";
    std::string loaderFile = "ILOADER.BIN";
    int baud = 0;           // BAU key; 0 = none
    int signatureKind = 1;  // SIGNATURE n with the panel's value and EQ; 0 = no key
    // I/O code step: IOCODE, IO1/IO3 (write 0 to the register) and IO2 (read it, width 1).
    bool ioCode = true;
    std::uint32_t ioAddress = 0x00A00000;
    bool checkMemory = true;         // CHKMEM with the panel's FROM and SRAM sizes
    std::uint32_t offset = 0x10000;  // OFFSET; 0 = no key
};

// Model section text (CR LF lines) for "KZMNT.INI": ID from the core ID, ILOADER, BAU,
// SIGNATURE, IOCODE/IO1/IO2/IO3, CHKMEM, OFFSET, and one FROMn or SRAMn key per region
// (regions whose name starts with "SRAM" are SRAM areas, verified whole).
std::string ModelSection(const sim::PanelDescription& description, const ModelChoices& choices);

// A panel serving the panel end of a virtual link. The link is created under a unique name
// unless one is given; the PC end opens as platform::OpenSerialDevice("virtual:" + name).
// wrapPanelEnd, when set, gets the panel end of the link and returns the device the panel
// serves instead (a decorator that watches the panel's side of the line, for instance).
// Unless options carry a line-error hook, the panel's line errors reach the PC end.
class PanelFixture {
  public:
    using WrapDevice = std::function<std::unique_ptr<platform::ISerialDevice>(
        std::unique_ptr<platform::ISerialDevice>)>;

    explicit PanelFixture(sim::PanelDescription description = TestPanel(),
                          std::shared_ptr<platform::VirtualSerialLink> link = nullptr,
                          sim::Panel::Options options = {}, const WrapDevice& wrapPanelEnd = {});
    ~PanelFixture();
    PanelFixture(const PanelFixture&) = delete;
    PanelFixture& operator=(const PanelFixture&) = delete;

    sim::Panel& panel() { return *panel_; }
    sim::Panel* operator->() { return panel_.get(); }
    platform::VirtualSerialLink& link() { return *link_; }
    const std::string& linkName() const { return link_->Name(); }
    const sim::PanelDescription& description() const { return description_; }
    // Opens the PC end of the link (null while it is open elsewhere).
    std::unique_ptr<platform::ISerialDevice> OpenPcEnd();

  private:
    sim::PanelDescription description_;
    std::shared_ptr<platform::VirtualSerialLink> link_;
    std::unique_ptr<sim::Panel> panel_;
};

}  // namespace kz::test
