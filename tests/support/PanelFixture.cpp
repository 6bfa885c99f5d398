#include "support/PanelFixture.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

#include "platform/Process.h"
#include "sim/PanelMemory.h"

namespace kz::test {

namespace {

std::string Hex(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(v));
    return text;
}

std::string UniquePanelLinkName() {
    static std::atomic<int> counter{0};
    return "panel-" + std::to_string(platform::CurrentProcessId()) + "-" +
           std::to_string(counter++);
}

}  // namespace

sim::PanelDescription TestPanel(std::uint32_t fromBytes, std::uint32_t sramBytes) {
    sim::PanelDescription d;
    d.coreId = "8C93";
    d.signature1 = 0x8C930001;
    d.signature2 = 0x00001234;
    d.fromSize = fromBytes;
    d.dramSize = 0x100000;
    d.sramSize = sramBytes;
    d.ioRegisters[0x00A00000] = 0xC3;
    d.regions.push_back({"FROM", 0x00000000, fromBytes, {sim::MemoryFill::Kind::Pattern, 0, 1}});
    if (sramBytes != 0) {
        d.regions.push_back(
            {"SRAM", 0x00400000, sramBytes, {sim::MemoryFill::Kind::Pattern, 0, 2}});
    }
    return d;
}

std::vector<std::uint8_t> ExpectedMemory(const sim::PanelDescription& description,
                                         std::uint32_t address, std::size_t size) {
    sim::PanelMemory memory(description.regions);
    for (const sim::MemoryPatch& patch : description.patches) {
        memory.Write(patch.address, patch.bytes);
    }
    std::vector<std::uint8_t> bytes(size);
    memory.Read(address, bytes);
    return bytes;
}

std::string ModelSection(const sim::PanelDescription& d, const ModelChoices& c) {
    std::string text = "[" + c.name + "]\r\n";
    auto key = [&](const std::string& name, const std::string& value) {
        text += name + "=" + value + "\r\n";
    };
    key("ID", d.coreId);
    key("ILOADER", c.loaderFile);
    if (c.baud != 0) {
        key("BAU", std::to_string(c.baud));
    }
    if (c.signatureKind == 1 || c.signatureKind == 2) {
        const std::uint32_t value = c.signatureKind == 1 ? d.signature1 : d.signature2;
        key("SIGNATURE", std::to_string(c.signatureKind) + "," + Hex(value) + ",EQ");
    }
    if (c.ioCode) {
        auto it = d.ioRegisters.find(c.ioAddress);
        const std::uint32_t code = it == d.ioRegisters.end() ? 0 : it->second & 0xFF;
        char codeText[3];
        std::snprintf(codeText, sizeof codeText, "%02X", static_cast<unsigned>(code));
        key("IOCODE", codeText);
        // Selecting the register writes a value the register keeps, so select with its own.
        key("IO1", Hex(c.ioAddress) + ",1," + Hex(code));
        key("IO2", Hex(c.ioAddress) + ",1");
        key("IO3", Hex(c.ioAddress) + ",1," + Hex(code));
    }
    if (c.checkMemory) {
        key("CHKMEM", Hex(d.fromSize) + "," + Hex(d.sramSize));
    }
    if (c.offset != 0) {
        key("OFFSET", Hex(c.offset));
    }
    int from = 0;
    int sram = 0;
    for (const sim::MemoryRegion& r : d.regions) {
        if (r.name.rfind("SRAM", 0) == 0) {
            key("SRAM" + std::to_string(++sram),
                Hex(r.start) + "," + Hex(r.size) + "," + Hex(r.size));
        } else {
            key("FROM" + std::to_string(++from), Hex(r.start) + "," + Hex(r.size));
        }
    }
    return text;
}

PanelFixture::PanelFixture(sim::PanelDescription description,
                           std::shared_ptr<platform::VirtualSerialLink> link,
                           sim::Panel::Options options, const WrapDevice& wrapPanelEnd)
    : description_(std::move(description)),
      link_(link ? std::move(link) : platform::VirtualSerialLink::Create(UniquePanelLinkName())) {
    if (!link_) {
        throw std::runtime_error("PanelFixture: virtual link name in use");
    }
    if (!options.lineErrorHook) {
        std::weak_ptr<platform::VirtualSerialLink> weak = link_;
        options.lineErrorHook = [weak](std::uint32_t ce) {
            if (auto l = weak.lock()) {
                l->InjectLineError(platform::VirtualSerialLink::End::Pc, ce);
            }
        };
    }
    auto device = link_->OpenEnd(platform::VirtualSerialLink::End::Panel);
    if (!device) {
        throw std::runtime_error("PanelFixture: the panel end of the link is in use");
    }
    if (wrapPanelEnd) {
        device = wrapPanelEnd(std::move(device));
    }
    panel_ = std::make_unique<sim::Panel>(std::move(device), description_, std::move(options));
    if (!panel_->Start()) {
        throw std::runtime_error("PanelFixture: the panel did not start");
    }
}

PanelFixture::~PanelFixture() {
    panel_.reset();
}

std::unique_ptr<platform::ISerialDevice> PanelFixture::OpenPcEnd() {
    return link_->OpenEnd(platform::VirtualSerialLink::End::Pc);
}

}  // namespace kz::test
