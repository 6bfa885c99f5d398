#include "sim/PanelDescription.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sim/CfCard.h"

namespace kz::sim {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

// Hex number of at most 32 bits, optional "0x" prefix, nothing else.
bool ParseHex32(std::string_view text, std::uint32_t& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return false;
    }
    std::uint64_t v = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            return false;
        }
        v = v * 16 + static_cast<std::uint64_t>(digit);
        if (v > 0xFFFFFFFFull) {
            return false;
        }
    }
    value = static_cast<std::uint32_t>(v);
    return true;
}

bool ParseFill(std::string_view text, MemoryFill& fill) {
    std::istringstream in{std::string(text)};
    std::string kind, arg, extra;
    in >> kind >> arg;
    if (in >> extra) {
        return false;
    }
    std::uint32_t v = 0;
    if (!ParseHex32(arg, v)) {
        return false;
    }
    kind = Lower(kind);
    if (kind == "byte" && v <= 0xFF) {
        fill.kind = MemoryFill::Kind::Byte;
        fill.value = static_cast<std::uint8_t>(v);
        return true;
    }
    if (kind == "pattern") {
        fill.kind = MemoryFill::Kind::Pattern;
        fill.seed = v;
        return true;
    }
    return false;
}

bool ParsePatchBytes(std::string_view text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
        bytes.assign(text.begin(), text.end());
        return !bytes.empty();
    }
    std::istringstream in{std::string(text)};
    std::string word;
    while (in >> word) {
        std::uint32_t v = 0;
        if (word.size() > 2 || !ParseHex32(word, v)) {
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(v));
    }
    return !bytes.empty();
}

// Largest card file a description may generate.
constexpr std::uint64_t kMaxGeneratedFile = 64u << 20;

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

// Text in double quotes with the escapes \r \n \t \\ \".
bool ParseQuotedText(std::string_view text, std::vector<std::uint8_t>& bytes) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') {
        return false;
    }
    text = text.substr(1, text.size() - 2);
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\') {
            if (++i == text.size()) {
                return false;
            }
            switch (text[i]) {
                case 'r':
                    c = '\r';
                    break;
                case 'n':
                    c = '\n';
                    break;
                case 't':
                    c = '\t';
                    break;
                case '\\':
                case '"':
                    c = text[i];
                    break;
                default:
                    return false;
            }
        }
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    return true;
}

// A card file's content: hex bytes, quoted text, or "size N pattern S" / "size N byte XX".
bool ParseCfContent(std::string_view text, std::vector<std::uint8_t>& bytes, std::string& why) {
    why = "card files are: hex bytes, \"text\", or size N pattern SEED / size N byte XX";
    if (!text.empty() && text.front() == '"') {
        if (!ParseQuotedText(text, bytes)) {
            why = "bad quoted text (escapes are \\r \\n \\t \\\\ \\\")";
            return false;
        }
        return true;
    }
    std::istringstream in{std::string(text)};
    std::string word;
    in >> word;
    if (Lower(word) != "size") {
        return ParsePatchBytes(text, bytes);
    }
    std::string size;
    in >> size;
    std::string rest;
    std::getline(in, rest);
    MemoryFill fill;
    if (size.empty() || size.size() > 10 ||
        !std::all_of(size.begin(), size.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        !ParseFill(Trim(rest), fill)) {
        return false;
    }
    const std::uint64_t n = std::stoull(size);
    if (n > kMaxGeneratedFile) {
        why = "generated card files hold at most " + std::to_string(kMaxGeneratedFile) + " bytes";
        return false;
    }
    bytes.resize(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = fill.kind == MemoryFill::Kind::Byte
                       ? fill.value
                       : PatternByte(fill.seed, static_cast<std::uint32_t>(i));
    }
    return true;
}

bool ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string Hex8(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(v));
    return text;
}

std::string LineError(int line, const std::string& reason) {
    return "line " + std::to_string(line) + ": " + reason;
}

}  // namespace

std::uint8_t PatternByte(std::uint32_t seed, std::uint32_t address) {
    // A 32-bit integer hash (murmur3 finaliser) of address mixed with seed.
    std::uint32_t x = address ^ (seed * 0x9E3779B9u);
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    x *= 0xC2B2AE35u;
    x ^= x >> 16;
    return static_cast<std::uint8_t>(x);
}

std::uint8_t FillByte(const MemoryRegion& region, std::uint32_t address) {
    return region.fill.kind == MemoryFill::Kind::Byte ? region.fill.value
                                                      : PatternByte(region.fill.seed, address);
}

bool ValidatePanelDescription(const PanelDescription& d, std::string* error) {
    auto fail = [&](const std::string& reason) {
        if (error) {
            *error = reason;
        }
        return false;
    };
    if (d.coreId.empty() || d.coreId.size() > 4) {
        return fail("core ID must have 1 to 4 characters");
    }
    std::vector<const MemoryRegion*> sorted;
    for (const MemoryRegion& r : d.regions) {
        if (r.size == 0) {
            return fail("region " + r.name + " has no size");
        }
        if (std::uint64_t{r.start} + r.size > 0x100000000ull) {
            return fail("region " + r.name + " runs past the 32-bit address space");
        }
        sorted.push_back(&r);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const MemoryRegion* a, const MemoryRegion* b) { return a->start < b->start; });
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (std::uint64_t{sorted[i - 1]->start} + sorted[i - 1]->size > sorted[i]->start) {
            return fail("regions " + sorted[i - 1]->name + " and " + sorted[i]->name + " overlap");
        }
    }
    for (const auto& [name, bytes] : d.cfFiles) {
        if (!IsCfCardFileName(name)) {
            return fail("card file " + name +
                        " is not a card file name (prefix, 5 digits, category extension)");
        }
    }
    for (const MemoryPatch& p : d.patches) {
        for (std::size_t i = 0; i < p.bytes.size(); ++i) {
            const std::uint64_t a = std::uint64_t{p.address} + i;
            bool inside = std::any_of(d.regions.begin(), d.regions.end(), [&](const auto& r) {
                return a >= r.start && a < std::uint64_t{r.start} + r.size;
            });
            if (!inside) {
                return fail("patch at " + Hex8(p.address) + " lies outside every region");
            }
        }
    }
    return true;
}

bool ParsePanelDescription(std::string_view text, PanelDescription& out, std::string* error,
                           const std::string& baseFolder) {
    PanelDescription d;
    enum class Section { None, Panel, Io, Region, Patch, Cf } section = Section::None;
    int lineNo = 0;
    auto fail = [&](const std::string& reason) {
        if (error) {
            *error = LineError(lineNo, reason);
        }
        return false;
    };
    while (!text.empty()) {
        ++lineNo;
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        line = Trim(line);
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') {
                return fail("section header without ']'");
            }
            const std::string name = Lower(Trim(line.substr(1, line.size() - 2)));
            if (name == "panel") {
                section = Section::Panel;
            } else if (name == "io") {
                section = Section::Io;
            } else if (name == "region") {
                section = Section::Region;
                d.regions.emplace_back();
                d.regions.back().name = "region " + std::to_string(d.regions.size());
            } else if (name == "patch") {
                section = Section::Patch;
            } else if (name == "cf") {
                section = Section::Cf;
            } else {
                return fail("unknown section [" + name + "]");
            }
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            return fail("expected key = value");
        }
        const std::string rawKey(Trim(line.substr(0, eq)));
        const std::string key = Lower(rawKey);
        const std::string_view value = Trim(line.substr(eq + 1));
        std::uint32_t number = 0;
        switch (section) {
            case Section::None:
                return fail("key outside a section");
            case Section::Panel:
                if (key == "coreid") {
                    if (value.empty() || value.size() > 4) {
                        return fail("coreid must have 1 to 4 characters");
                    }
                    d.coreId = std::string(value);
                } else if (key == "hwcoreid") {
                    d.hwCoreId = std::string(value);
                } else if (key == "lanversion") {
                    d.lanVersion = std::string(value);
                } else if (key == "password") {
                    d.password = std::string(value);
                } else if (key == "signature1" || key == "signature2" || key == "from" ||
                           key == "dram" || key == "sram") {
                    if (!ParseHex32(value, number)) {
                        return fail(key + " is not a hex number");
                    }
                    if (key == "signature1") {
                        d.signature1 = number;
                    } else if (key == "signature2") {
                        d.signature2 = number;
                    } else if (key == "from") {
                        d.fromSize = number;
                    } else if (key == "dram") {
                        d.dramSize = number;
                    } else {
                        d.sramSize = number;
                    }
                } else {
                    return fail("unknown key " + rawKey + " in [panel]");
                }
                break;
            case Section::Io: {
                std::uint32_t address = 0;
                if (!ParseHex32(rawKey, address) || !ParseHex32(value, number)) {
                    return fail("I/O register lines are: hex address = hex value");
                }
                d.ioRegisters[address] = number;
                break;
            }
            case Section::Region: {
                MemoryRegion& r = d.regions.back();
                if (key == "name") {
                    r.name = std::string(value);
                } else if (key == "start" || key == "size") {
                    if (!ParseHex32(value, number)) {
                        return fail(key + " is not a hex number");
                    }
                    (key == "start" ? r.start : r.size) = number;
                } else if (key == "fill") {
                    if (!ParseFill(value, r.fill)) {
                        return fail("fill must be \"pattern SEED\" or \"byte XX\"");
                    }
                } else {
                    return fail("unknown key " + rawKey + " in [region]");
                }
                break;
            }
            case Section::Patch: {
                MemoryPatch p;
                if (!ParseHex32(rawKey, p.address) || !ParsePatchBytes(value, p.bytes)) {
                    return fail("patch lines are: hex address = hex bytes or \"text\"");
                }
                d.patches.push_back(std::move(p));
                break;
            }
            case Section::Cf: {
                if (key == "card") {
                    const std::string v = Lower(value);
                    if (v != "none" && v != "present") {
                        return fail("card is \"none\" or \"present\"");
                    }
                    d.cfCardPresent = v == "present";
                } else if (key == "dir") {
                    std::filesystem::path folder{std::string(value)};
                    if (folder.is_relative() && !baseFolder.empty()) {
                        folder = std::filesystem::path(baseFolder) / folder;
                    }
                    std::string reason;
                    if (!LoadCfFolder(folder.string(), d.cfFiles, &reason)) {
                        return fail(reason);
                    }
                } else {
                    const std::string name = Upper(rawKey);
                    if (!IsCfCardFileName(name)) {
                        return fail(rawKey +
                                    " is not a card file name (prefix, 5 digits, "
                                    "category extension) nor a key of [cf]");
                    }
                    std::vector<std::uint8_t> bytes;
                    std::string why;
                    if (!ParseCfContent(value, bytes, why)) {
                        return fail(why);
                    }
                    d.cfFiles[name] = std::move(bytes);
                }
                break;
            }
        }
    }
    std::string reason;
    if (!ValidatePanelDescription(d, &reason)) {
        if (error) {
            *error = reason;
        }
        return false;
    }
    out = std::move(d);
    return true;
}

bool LoadPanelDescription(const std::string& path, PanelDescription& out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) {
            *error = "cannot open " + path;
        }
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string reason;
    if (!ParsePanelDescription(text.str(), out, &reason,
                               std::filesystem::path(path).parent_path().string())) {
        if (error) {
            *error = path + ": " + reason;
        }
        return false;
    }
    return true;
}

PanelDescription DemoPanel() {
    PanelDescription d;
    d.coreId = "8C93";
    d.signature1 = 0x8C930001;
    d.signature2 = 0x00001234;
    d.fromSize = 0x100000;
    d.dramSize = 0x400000;
    d.sramSize = 0x20000;
    d.ioRegisters[0x00A00000] = 0xC3;
    MemoryRegion from;
    from.name = "FROM";
    from.start = 0x00000000;
    from.size = 0x100000;
    from.fill = {MemoryFill::Kind::Pattern, 0, 1};
    MemoryRegion sram;
    sram.name = "SRAM";
    sram.start = 0x00400000;
    sram.size = 0x20000;
    sram.fill = {MemoryFill::Kind::Pattern, 0, 2};
    d.regions = {from, sram};
    const std::string text = "KZ DEMO PANEL";
    d.patches.push_back({0x100, std::vector<std::uint8_t>(text.begin(), text.end())});
    std::vector<std::uint8_t> image(70000);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = PatternByte(3, static_cast<std::uint32_t>(i));
    }
    d.cfFiles["ZI00001.BIN"] = std::move(image);
    const std::string csv = "No,Value\r\n1,100\r\n2,200\r\n";
    d.cfFiles["ZR00001.CSV"] = std::vector<std::uint8_t>(csv.begin(), csv.end());
    d.cfFiles["ZD00000.BIN"] = {};
    return d;
}

bool LoadCfFolder(const std::string& folder,
                  std::map<std::string, std::vector<std::uint8_t>>& files, std::string* error) {
    auto fail = [&](const std::string& reason) {
        if (error) {
            *error = reason;
        }
        return false;
    };
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        return fail("card folder " + folder + " is not a folder");
    }
    std::map<std::string, std::vector<std::uint8_t>> found;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec)) {
            continue;
        }
        const std::string name = Upper(it->path().filename().string());
        if (!IsCfCardFileName(name)) {
            continue;
        }
        if (found.count(name) != 0) {
            return fail("card folder " + folder + " holds " + name + " twice");
        }
        if (!ReadWholeFile(it->path(), found[name])) {
            return fail("cannot read " + it->path().string());
        }
    }
    if (ec) {
        return fail("cannot list card folder " + folder + ": " + ec.message());
    }
    for (auto& [name, bytes] : found) {
        files[name] = std::move(bytes);
    }
    return true;
}

bool SaveCfFolder(const std::string& folder,
                  const std::map<std::string, std::vector<std::uint8_t>>& files,
                  std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(folder, ec);
    for (const auto& [name, bytes] : files) {
        const fs::path path = fs::path(folder) / name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            if (error) {
                *error = "cannot write " + path.string();
            }
            return false;
        }
    }
    return true;
}

}  // namespace kz::sim
