#include "ops/memory/BackupImage.h"

#include <sys/stat.h>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "platform/Format.h"

namespace kz {

namespace {

std::string Line(int id, const std::string& path) {
    return Format(GetString(id).c_str(), path.c_str());
}

}  // namespace

BackupFileStep BeginBackupImage(MemImageFile& image, const std::string& target) {
    BackupFileStep step;
    // The finished image replaces a regular file only; a link, a folder or a FIFO there is
    // left alone.
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        step.lines.push_back(Line(msg::kTargetNotRegular, target));
        step.error = msg::kFileWrite;
        return step;
    }
    const std::string partial = target + ".partial";
    switch (image.CreatePartial(partial)) {
        case MemImageFile::PartialStart::Created:
            break;
        case MemImageFile::PartialStart::Busy:
            step.lines.push_back(Line(msg::kBackupBusy, target));
            step.error = msg::kFileWrite;
            break;
        case MemImageFile::PartialStart::NotPlain:
        case MemImageFile::PartialStart::Failed:
            step.lines.push_back(Line(msg::kPartialNotCreated, partial));
            step.error = msg::kFileWrite;
            break;
    }
    return step;
}

BackupFileStep EndBackupImage(MemImageFile& image, const std::string& target, int error,
                              std::uint64_t dataBytes) {
    BackupFileStep step;
    step.error = error;
    if (step.error == 0) {
        switch (image.CommitPartial(target, dataBytes)) {
            case MemImageFile::Replace::Done:
                break;
            case MemImageFile::Replace::TargetNotRegular:
                step.lines.push_back(Line(msg::kTargetNotRegular, target));
                step.error = msg::kFileWrite;
                break;
            case MemImageFile::Replace::NotOurs:
                step.lines.push_back(Line(msg::kPartialReplaced, image.PartialPath()));
                step.error = msg::kFileWrite;
                break;
            case MemImageFile::Replace::Incomplete:
            case MemImageFile::Replace::Failed:
                step.error = msg::kFileWrite;
                break;
        }
    }
    // The data read so far stays for the user; only a file that is still this run's is
    // named as holding it.
    if (step.error != 0 && image.PartialIsOurs()) {
        step.lines.push_back(Line(msg::kPartialImage, image.PartialPath()));
    }
    image.ReleasePartial();
    return step;
}

}  // namespace kz
