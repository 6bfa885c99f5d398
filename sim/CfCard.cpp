#include "sim/CfCard.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace kz::sim {

namespace {

constexpr std::array<CfCategoryRule, 17> kRules{{
    {"ZI", ".BIN", 1, 8999},
    {"ZO", ".BIN", 1, 8999},
    {"ZF", ".BIN", 1, 8999},
    {"ZR", ".CSV", 0, 65535},
    {"ZL", ".CSV", 0, 65535},
    {"ZT", ".CSV", 0, 65535},
    {"ZS", ".CSV", 0, 65535},
    {"CP", ".JPG", 0, 65535},
    {"ZA", ".CSV", 0, 65535},
    {"ZH", ".CSV", 0, 65535},
    {"ZG", ".CSV", 0, 65535},
    {"Z4", ".CSV", 0, 65535},
    {"Z5", ".CSV", 0, 65535},
    {"Z6", ".CSV", 0, 65535},
    {"Z7", ".CSV", 0, 65535},
    {"Z8", ".CSV", 0, 65535},
    {"ZD", ".BIN", 0, 65535},
}};

constexpr std::size_t kStemLength = 7;
constexpr std::size_t kSizeDigits = 10;

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::uint64_t DecimalValue(std::string_view digits) {
    std::uint64_t v = 0;
    for (char c : digits) {
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return v;
}

std::string_view AsText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::span<const CfCategoryRule> CfCategoryRules() {
    return kRules;
}

const CfCategoryRule* CfCategoryForPrefix(std::string_view prefix) {
    for (const CfCategoryRule& rule : kRules) {
        if (rule.prefix == prefix) {
            return &rule;
        }
    }
    return nullptr;
}

std::optional<CfStem> ParseCfStem(std::string_view stem) {
    if (stem.size() != kStemLength || CfCategoryForPrefix(stem.substr(0, 2)) == nullptr ||
        !AllDigits(stem.substr(2))) {
        return std::nullopt;
    }
    return CfStem{std::string(stem.substr(0, 2)),
                  static_cast<std::uint32_t>(DecimalValue(stem.substr(2)))};
}

std::optional<std::string> CfFileNameForStem(std::string_view stem) {
    const std::optional<CfStem> parsed = ParseCfStem(stem);
    if (!parsed) {
        return std::nullopt;
    }
    const CfCategoryRule* rule = CfCategoryForPrefix(parsed->prefix);
    if (parsed->number < rule->first || parsed->number > rule->last) {
        return std::nullopt;
    }
    return std::string(stem) + std::string(rule->extension);
}

bool IsCfCardFileName(std::string_view name) {
    const std::optional<std::string> expected = CfFileNameForStem(name.substr(0, kStemLength));
    return expected && *expected == name;
}

std::string CfChecksumText(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    char text[3];
    std::snprintf(text, sizeof text, "%02X",
                  static_cast<unsigned>(static_cast<std::uint8_t>(-sum)));
    return text;
}

CfCard::CfCard(bool present, CfFiles files) : present_(present), files_(std::move(files)) {}

void CfCard::SetPresent(bool present) {
    present_ = present;
    if (!present) {
        EndTransfers();
    }
}

void CfCard::SetFile(const std::string& name, std::vector<std::uint8_t> bytes) {
    files_[name] = std::move(bytes);
}

bool CfCard::RemoveFile(const std::string& name) {
    return files_.erase(name) != 0;
}

// --- card -> PC -------------------------------------------------------------------------

CfCard::Offer CfCard::OpenRange(std::string_view range, bool* malformed) {
    outgoing_.reset();
    range_.reset();
    const std::optional<CfStem> first = ParseCfStem(range.substr(0, kStemLength));
    const std::optional<CfStem> last = range.size() > kStemLength
                                           ? ParseCfStem(range.substr(kStemLength + 1))
                                           : std::optional<CfStem>{};
    const bool ok = range.size() == 2 * kStemLength + 1 && range[kStemLength] == ',' && first &&
                    last && first->prefix == last->prefix;
    if (malformed != nullptr) {
        *malformed = !ok;
    }
    if (!ok) {
        return Offer{kCfResultRead, {}, 0};
    }
    if (!present_) {
        return Offer{kCfResultNoCard, {}, 0};
    }
    range_ = Range{first->prefix, first->number, last->number, {}};
    return OfferAfter({});
}

CfCard::Offer CfCard::NextFile() {
    outgoing_.reset();
    if (!present_) {
        return Offer{kCfResultNoCard, {}, 0};
    }
    if (!range_) {
        return Offer{kCfResultNone, {}, 0};
    }
    return OfferAfter(range_->lastOffered);
}

// The first listed file of the open range whose stem sorts after stem ("" = from the start).
CfCard::Offer CfCard::OfferAfter(const std::string& stem) {
    for (const auto& [name, bytes] : files_) {
        if (!IsCfCardFileName(name)) {
            continue;
        }
        const std::string fileStem = name.substr(0, kStemLength);
        const CfStem parsed = *ParseCfStem(fileStem);
        if (parsed.prefix != range_->prefix || parsed.number < range_->first ||
            parsed.number > range_->last || (!stem.empty() && fileStem <= stem)) {
            continue;
        }
        range_->lastOffered = fileStem;
        outgoing_ = Outgoing{bytes, 0};
        return Offer{0, fileStem, bytes.size()};
    }
    // Nothing left: a further next request keeps answering "no more files".
    range_->lastOffered.assign(1, '~');
    return Offer{kCfResultNone, {}, 0};
}

bool CfCard::BlocksDue() const {
    return outgoing_ && outgoing_->sent < outgoing_->data.size();
}

std::optional<std::span<const std::uint8_t>> CfCard::NextBlock() {
    if (!BlocksDue()) {
        return std::nullopt;
    }
    const std::size_t length =
        std::min<std::size_t>(kCfBlockSize, outgoing_->data.size() - outgoing_->sent);
    const std::span<const std::uint8_t> block(outgoing_->data.data() + outgoing_->sent, length);
    outgoing_->sent += length;
    return block;
}

void CfCard::StopFile() {
    outgoing_.reset();
}

// --- PC -> card -------------------------------------------------------------------------

char CfCard::Announce(std::string_view announcement, bool* malformed) {
    incoming_.reset();
    const std::optional<std::string> name = CfFileNameForStem(announcement.substr(0, kStemLength));
    const std::string_view sizeText =
        announcement.size() > kStemLength ? announcement.substr(kStemLength) : std::string_view{};
    const bool ok = name && sizeText.size() == kSizeDigits && AllDigits(sizeText) &&
                    DecimalValue(sizeText) <= kCfMaxFileSize;
    if (malformed != nullptr) {
        *malformed = !ok;
    }
    if (!ok) {
        return kCfResultWrite;
    }
    if (!present_) {
        return kCfResultNoCard;
    }
    incoming_ = Incoming{*name, static_cast<std::size_t>(DecimalValue(sizeText)), {}, 0};
    return 0;
}

std::uint32_t CfCard::ExpectedBlockLength() const {
    if (!incoming_) {
        return 0;
    }
    return static_cast<std::uint32_t>(
        std::min<std::size_t>(kCfBlockSize, incoming_->size - incoming_->data.size()));
}

std::optional<std::uint32_t> CfCard::AcceptBlockHeader(std::span<const std::uint8_t> header) {
    if (!incoming_ || header.size() != 7) {
        return std::nullopt;
    }
    const std::string_view digits = AsText(header.subspan(0, 5));
    if (!AllDigits(digits) || CfChecksumText(header.subspan(0, 5)) != AsText(header.subspan(5))) {
        return std::nullopt;
    }
    const auto length = static_cast<std::uint32_t>(DecimalValue(digits));
    if (length != ExpectedBlockLength()) {
        return std::nullopt;
    }
    incoming_->blockLength = length;
    return length;
}

CfCard::BlockOutcome CfCard::AcceptBlockData(std::span<const std::uint8_t> dataAndChecksum) {
    if (!incoming_ || dataAndChecksum.size() != std::size_t{incoming_->blockLength} + 2) {
        incoming_.reset();
        return BlockOutcome::Refused;
    }
    const auto data = dataAndChecksum.first(incoming_->blockLength);
    if (CfChecksumText(data) != AsText(dataAndChecksum.last(2))) {
        incoming_.reset();
        return BlockOutcome::Refused;
    }
    incoming_->data.insert(incoming_->data.end(), data.begin(), data.end());
    if (incoming_->blockLength == kCfBlockSize) {
        return BlockOutcome::Full;
    }
    // A short block ends the file; the header check made sure it completes the size.
    files_[incoming_->name] = std::move(incoming_->data);
    incoming_.reset();
    return BlockOutcome::Stored;
}

void CfCard::DropIncoming() {
    incoming_.reset();
}

void CfCard::EndTransfers() {
    range_.reset();
    outgoing_.reset();
    incoming_.reset();
}

}  // namespace kz::sim
