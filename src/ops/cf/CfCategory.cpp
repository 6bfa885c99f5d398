#include "ops/cf/CfCategory.h"

#include "platform/Format.h"

namespace kz {

namespace {
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
}  // namespace

std::string CfStem(const CfCategory& category, int number) {
    return std::string(category.prefix) + Format("%05d", number);
}

std::string CfFirstStem(const CfCategory& category) {
    return CfStem(category, category.first);
}

std::string CfLastStem(const CfCategory& category) {
    return CfStem(category, category.last);
}

std::string CfCategoryFolder(const std::string& pcFolder, const CfCategory& category) {
    return pcFolder + "/" + std::string(category.subfolder) + "/";
}

bool IsCfStemOf(const CfCategory& category, std::string_view stem) {
    if (stem.size() != kCfStemLength || stem.substr(0, 2) != category.prefix) {
        return false;
    }
    for (char c : stem.substr(2)) {
        if (!IsDigit(c)) {
            return false;
        }
    }
    return true;
}

int CfFileNumber(std::string_view fileName) {
    if (fileName.size() < 2) {
        return -1;
    }
    const std::size_t dot = fileName.find('.', 2);
    if (dot == std::string_view::npos || dot - 2 != kCfNumberDigits) {
        return -1;
    }
    int number = 0;
    for (char c : fileName.substr(2, kCfNumberDigits)) {
        if (!IsDigit(c)) {
            return -1;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

}  // namespace kz
