#include "ops/cf/CfOperation.h"

#include <algorithm>

namespace kz {

bool IsCfResultAnswer(std::string_view payload) {
    return payload.size() == 4 && payload[2] == 'E';
}

int CfResultError(char result) {
    switch (result) {
        case '0':
            return 0;
        case 'E':
            return msg::kNoCfCard;
        case 'F':
            return msg::kCardRead;
        case 'G':
            return msg::kCardWrite;
        case 'H':
            return msg::kCardDelete;
        case 'I':
            return msg::kCardFolderCreate;
        default:
            return msg::kCheckPower;
    }
}

const CfCategory& CCfOperation::CategoryAt(int phase) {
    const int index = std::clamp(CategoryIndexAt(phase), 0, static_cast<int>(kCfCategoryCount) - 1);
    return kCfCategories[static_cast<std::size_t>(index)];
}

bool CCfOperation::WriteBytes(std::string_view bytes) {
    return Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

}  // namespace kz
