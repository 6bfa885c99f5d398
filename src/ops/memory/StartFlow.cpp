#include "ops/memory/StartFlow.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "config/MessageIds.h"
#include "config/Settings.h"
#include "config/StringTable.h"
#include "ops/memory/MemImageFile.h"
#include "platform/File.h"
#include "platform/Format.h"
#include "platform/Printable.h"

namespace kz {

namespace {

std::string PathText(int id, const std::string& path) {
    return Format(GetString(id).c_str(), path.c_str());
}

// The selection rule's refusal, said in the words of the mode.
std::string SelectionRefusal(SelectionMode mode, bool autoFileName, const std::string& path) {
    if (path.empty()) {
        return GetString(msg::kPathEmpty);
    }
    switch (mode) {
        case SelectionMode::Backup:
            return PathText(autoFileName ? msg::kPathNotAutoFolder : msg::kPathNotMemFile, path);
        case SelectionMode::CfReceive:
            return PathText(msg::kPathNotNewFolder, path);
        case SelectionMode::CfSend:
            return PathText(msg::kPathNotFolder, path);
        default:
            return PathText(msg::kPathMissing, path);
    }
}

// Empty when path names a regular file, or nothing at all and mayBeAbsent.
std::string RegularFileRefusal(const std::string& path, bool mayBeAbsent) {
    const platform::PathKind kind = platform::KindOfTarget(path);
    if (kind == platform::PathKind::Missing || kind == platform::PathKind::Unknown) {
        if (mayBeAbsent && kind == platform::PathKind::Missing) {
            return {};
        }
        return Format(GetString(msg::kPathUnreadable).c_str(), path.c_str(),
                      platform::LastErrorText().c_str());
    }
    if (kind != platform::PathKind::Regular) {
        return PathText(msg::kPathNotRegular, path);
    }
    return {};
}

// A recent-file list that could not be saved (KZMNT.INI unreadable or not writable, a line
// break in the path) is reported, not fatal: the operation does not depend on it.
void AddRecentFile(const std::string& path, IStartPrompt& prompt) {
    CSettings settings;
    if (!settings.AddRecentFile(path) && settings.SaveError() != 0) {
        prompt.ShowMessage(settings.SaveError());
    }
}

StartPlan PrepareBackup(const std::string& path, const std::optional<std::string>& typed,
                        IStartPrompt& prompt) {
    const bool autoName = CSettings().GetAutoFileName();
    StartPlan plan;
    if (typed) {
        plan.comment = *typed;
    } else if (!autoName) {
        // The comment of the image a typed name already holds is kept.
        MemImageFile existing;
        if (existing.LoadHeader(path)) {
            plan.comment = existing.GetImageComment();
        }
    }
    std::string limited = LimitComment(plan.comment);
    if (limited.size() != plan.comment.size()) {
        prompt.ShowNote(Format(GetString(msg::kCommentCut).c_str(), static_cast<int>(kCommentLimit),
                               Printable(limited).c_str()));
        plan.comment = std::move(limited);
    }
    plan.path = path;
    if (!autoName) {
        if (NeedsOverwriteQuestion(autoName, path) && !prompt.AskOkCancel(msg::kAskOverwrite)) {
            plan.outcome = StartOutcome::Declined;
            return plan;
        }
        plan.path = WithMemExtension(path);
    }
    // With AUTOFILENAME on the path is the folder; the operation names the file itself.
    AddRecentFile(plan.path, prompt);
    return plan;
}

StartPlan PrepareWithImage(const std::string& path, IStartPrompt& prompt) {
    StartPlan plan;
    MemImageFile image;
    if (!image.LoadHeader(path)) {
        prompt.ShowMessage(msg::kFileUnreadable);
        plan.outcome = StartOutcome::Unreadable;
        return plan;
    }
    // The name is used as checked: it names the image whose header was just read, so no
    // ".mem" is added to it.
    plan.path = path;
    plan.comment = image.GetImageComment();
    AddRecentFile(path, prompt);
    return plan;
}

}  // namespace

SelectionMode SelectionModeFor(OperationKind kind) {
    switch (kind) {
        case OperationKind::Backup:
        case OperationKind::BackupMtoM:
            return SelectionMode::Backup;
        case OperationKind::Restore:
        case OperationKind::RestoreMtoM:
            return SelectionMode::Restore;
        case OperationKind::Verify:
        case OperationKind::VerifyMtoM:
            return SelectionMode::Verify;
        case OperationKind::CfReceive:
        case OperationKind::CfReceiveMtoM:
            return SelectionMode::CfReceive;
        case OperationKind::CfSend:
        case OperationKind::CfSendMtoM:
            return SelectionMode::CfSend;
    }
    return SelectionMode::Backup;
}

std::string LimitComment(std::string text) {
    if (text.size() <= kCommentLimit) {
        return text;
    }
    std::size_t n = kCommentLimit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    text.resize(n);
    return text;
}

std::string CheckSelectedPath(SelectionMode mode, const std::string& path) {
    const bool autoName = CSettings().GetAutoFileName();
    if (!FileSelectionValid(mode, autoName, path)) {
        return SelectionRefusal(mode, autoName, path);
    }
    switch (mode) {
        case SelectionMode::Backup:
            return autoName ? std::string() : RegularFileRefusal(path, true);
        case SelectionMode::Restore:
        case SelectionMode::Verify:
            return RegularFileRefusal(path, false);
        default:
            return {};
    }
}

StartPlan PrepareStart(OperationKind kind, const std::string& path,
                       const std::optional<std::string>& comment, IStartPrompt& prompt) {
    switch (SelectionModeFor(kind)) {
        case SelectionMode::Backup:
            return PrepareBackup(path, comment, prompt);
        case SelectionMode::Restore:
        case SelectionMode::Verify:
            return PrepareWithImage(path, prompt);
        case SelectionMode::CfReceive:
        case SelectionMode::CfSend:
            break;
    }
    StartPlan plan;
    plan.path = path;
    AddRecentFile(path, prompt);
    return plan;
}

std::string ResumablePartial(OperationKind kind, const StartPlan& plan) {
    if (SelectionModeFor(kind) != SelectionMode::Backup || plan.outcome != StartOutcome::Ready ||
        plan.path.empty() || CSettings().GetAutoFileName()) {
        return {};
    }
    const std::string partial = PartialImagePath(plan.path);
    std::error_code ec;
    return std::filesystem::is_regular_file(std::filesystem::symlink_status(partial, ec))
               ? partial
               : std::string();
}

}  // namespace kz
