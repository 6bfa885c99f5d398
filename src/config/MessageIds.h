// Every id of the string table by name. Operations store these in m_nError and show them
// as status lines; the front-ends show them in messages and dialogs. The numbers are the
// string table's own (English 1033 and Japanese 1041 share them) and a RESOURCE file
// refers to them, so they never change.
#pragma once

namespace kz::msg {

// Document strings and window titles.
inline constexpr int kDocumentStrings = 128;
inline constexpr int kAppTitle = 1000;
inline constexpr int kBackupConfirmCaption = 1001;
inline constexpr int kRestoreConfirmCaption = 1002;
inline constexpr int kVerifyConfirmCaption = 1003;
inline constexpr int kIpAddressColumn = 1004;
inline constexpr int kSituationColumn = 1005;
inline constexpr int kValueOutOfRange = 2000;

// Questions and notices of the controller and the network search.
inline constexpr int kAskAbort = 3000;
inline constexpr int kAskOverwrite = 3001;
inline constexpr int kFileUnreadable = 3002;
inline constexpr int kSearching = 3003;
inline constexpr int kSearchEnd = 3004;
inline constexpr int kKzNotFound = 3005;

// Operation start lines and model-information messages.
inline constexpr int kBackupStart = 3200;
inline constexpr int kRestoreStart = 3201;
inline constexpr int kVerifyStart = 3202;
inline constexpr int kModelBackupMessage = 3203;
inline constexpr int kModelRestoreMessage = 3204;
inline constexpr int kModelVerifyMessage = 3205;
inline constexpr int kAreaLine = 3206;
inline constexpr int kCfReceiveStart = 3207;
inline constexpr int kCfSendStart = 3208;

// Status lines of the serial commands and the memory operations.
inline constexpr int kCompleted = 3299;
inline constexpr int kIloaderDownload = 3300;
inline constexpr int kEstablishLink = 3301;
inline constexpr int kCoreIdCheck = 3302;
inline constexpr int kConnectedIloader = 3303;
inline constexpr int kChangeBaud = 3304;
inline constexpr int kConnectComplete = 3305;
inline constexpr int kIoCodeCheck = 3310;
inline constexpr int kBackupProgress = 3311;
inline constexpr int kVerifyProgress = 3312;
inline constexpr int kRestoreProgress = 3313;
inline constexpr int kSloaderTransmission = 3314;
inline constexpr int kHardwareCheck = 3315;
inline constexpr int kSignatureCheck = 3316;
inline constexpr int kReturnOnline = 3317;
inline constexpr int kPartialImage = 3318;

// Settings that could not be saved.
inline constexpr int kIniUnreadable = 3320;
inline constexpr int kIniNotWritten = 3321;
inline constexpr int kIniLineBreak = 3322;

// Why the serial port could not be used.
inline constexpr int kPowerResetTimeout = 3330;
inline constexpr int kPortMissing = 3331;
inline constexpr int kPortBusy = 3332;
inline constexpr int kPortDenied = 3333;
inline constexpr int kPortUnusable = 3334;
// The group whose members may open the serial port (%s), after kPortDenied.
inline constexpr int kPortGroup = 3600;
// kzmnt-cli ports: the table's column heads, and the line when no device is present.
inline constexpr int kPortsDevice = 3601;
inline constexpr int kPortsCom = 3602;
inline constexpr int kPortsMaker = 3603;
inline constexpr int kPortsProduct = 3604;
inline constexpr int kPortsSerialNumber = 3605;
inline constexpr int kPortsNone = 3606;
// Where a verify found the panel's memory unlike the image: the first difference (area,
// address, panel byte, image byte); with every difference asked for, each range (area,
// address, length as text, panel byte, image byte) and the count of all (ranges and bytes
// as text, the most listed).
inline constexpr int kVerifyDifference = 3610;
inline constexpr int kVerifyRange = 3611;
inline constexpr int kVerifyRangeCount = 3612;
// Two images compared: a file that cannot be read as an image (%s: the file) or is shorter
// than its area table promises; a header field that differs (field, first, second); a
// differing range (area, address, length as text, first byte, second byte); the count of
// all; the verdicts.
inline constexpr int kDiffNotImage = 3613;
inline constexpr int kDiffImageShort = 3614;
inline constexpr int kDiffField = 3615;
inline constexpr int kDiffRange = 3616;
inline constexpr int kDiffRangeCount = 3617;
inline constexpr int kDiffEqual = 3618;
inline constexpr int kDiffDiffer = 3619;
// The header fields of an image, as the comparison names them.
inline constexpr int kFieldModel = 3620;
inline constexpr int kFieldCoreId = 3621;
inline constexpr int kFieldIoCode = 3622;
inline constexpr int kFieldSignature = 3623;
inline constexpr int kFieldFromSize = 3624;
inline constexpr int kFieldSramSize = 3625;
inline constexpr int kFieldComment = 3626;
inline constexpr int kFieldUnit = 3627;
inline constexpr int kFieldAreas = 3628;
inline constexpr int kFieldDataLength = 3629;
// The safety backup before a restore: where it goes (%s: the file), its final name, that it
// failed (nothing written), that its folder cannot be made (the folder, the reason), and
// the comment of its image.
inline constexpr int kSafetyBackupStart = 3630;
inline constexpr int kSafetyBackupDone = 3631;
inline constexpr int kSafetyBackupFailed = 3632;
inline constexpr int kSafetyBackupFolder = 3633;
inline constexpr int kSafetyBackupComment = 3634;
// A resumed backup: where it goes on from (the partial file, the data bytes kept as text);
// why it cannot (%s: the partial file); and the run's error then.
inline constexpr int kResumeFrom = 3640;
inline constexpr int kResumeNoPartial = 3641;
inline constexpr int kResumeDiffers = 3642;
inline constexpr int kResumeUnusable = 3643;
inline constexpr int kResumeRefused = 3645;
// kzmnt-cli history: the table's column heads (model and core ID: kFieldModel,
// kFieldCoreId), and the line when nothing has been recorded.
inline constexpr int kHistoryStart = 3650;
inline constexpr int kHistorySeconds = 3651;
inline constexpr int kHistoryOperation = 3652;
inline constexpr int kHistoryLink = 3653;
inline constexpr int kHistoryBytes = 3654;
inline constexpr int kHistoryResult = 3655;
inline constexpr int kHistoryFile = 3656;
inline constexpr int kHistorySha256 = 3657;
inline constexpr int kHistoryNone = 3658;
// kzmnt-cli backup-all: the node column's head, the line before each panel (its number,
// the count, the node), and the refusal on the serial link.
inline constexpr int kBackupAllNode = 3660;
inline constexpr int kBackupAllPanel = 3661;
inline constexpr int kBackupAllNotLan = 3662;

// The start of an operation (why a chosen path is refused, the comment limit) and the
// notices of the command-line front-end while an operation runs.
inline constexpr int kPathEmpty = 3340;
inline constexpr int kPathNotAutoFolder = 3341;
inline constexpr int kPathNotMemFile = 3342;
inline constexpr int kPathNotNewFolder = 3343;
inline constexpr int kPathNotFolder = 3344;
inline constexpr int kPathMissing = 3345;
inline constexpr int kPathUnreadable = 3346;
inline constexpr int kPathNotRegular = 3347;
inline constexpr int kCommentCut = 3348;
inline constexpr int kCommentNotWritten = 3349;
inline constexpr int kChooseNode = 3350;
inline constexpr int kImageFileWritten = 3351;
inline constexpr int kPowerResetWait = 3352;
inline constexpr int kPowerResetCancelled = 3353;
inline constexpr int kAborting = 3354;
inline constexpr int kTerminating = 3355;
inline constexpr int kPasswordPrompt = 3356;
inline constexpr int kPasswordNoTerminal = 3357;
inline constexpr int kPortOpenFailed = 3358;
inline constexpr int kNoTerminalToAsk = 3359;
// The LAN library could not be loaded (the loader's reason in %s).
inline constexpr int kLanLibraryNotLoaded = 3360;
// The LAN library loaded but lacks a function (the library's file, the function's name).
inline constexpr int kLanLibraryIncomplete = 3361;
// The reason a library path was not loaded: it is no regular file (the path in %s).
inline constexpr int kLanLibraryNotRegularFile = 3370;

// Why kzmnt does not start: the folder of its single-instance lock is not private to the
// user (%s: the folder), or the lock file cannot be used (%s: the file, %s: the reason).
inline constexpr int kLockFolderNotPrivate = 3372;
inline constexpr int kLockFileUnusable = 3373;

// The progress of a transfer as both front-ends show it: done of total (%s: the amounts),
// the rate (%s: an amount), the time left, and the memory area in work.
inline constexpr int kProgressOf = 3390;
inline constexpr int kProgressRate = 3391;
inline constexpr int kProgressSecondsLeft = 3392;
inline constexpr int kProgressMinutesLeft = 3393;
inline constexpr int kProgressHoursLeft = 3394;
inline constexpr int kProgressFeprom = 3395;
inline constexpr int kProgressSram = 3396;

// Errors of the serial link and the memory operations (m_nError).
inline constexpr int kCheckPower = 4000;
inline constexpr int kAborted = 4001;
inline constexpr int kRetryOver = 4002;
inline constexpr int kIloaderRead = 4003;
inline constexpr int kVerifyMismatch = 4004;
inline constexpr int kNotRegistered = 4005;
inline constexpr int kCoreIdDiffers = 4006;
inline constexpr int kIoCodeDiffers = 4007;
inline constexpr int kTimeOut = 4008;
inline constexpr int kPasswordWrong = 4009;
inline constexpr int kPasswordRetry = 4010;
inline constexpr int kPasswordInput = 4011;
inline constexpr int kNoCfCard = 4012;
inline constexpr int kFepromSize = 4014;
inline constexpr int kSramSize = 4015;
inline constexpr int kSignatureDiffers = 4016;
inline constexpr int kNoMemory = 4017;
inline constexpr int kDataError = 4018;
inline constexpr int kImageTooShort = 4019;
inline constexpr int kModelAreasInvalid = 4020;
inline constexpr int kAreaKeyInvalid = 4021;
inline constexpr int kNoAreas = 4022;
inline constexpr int kTooManyAreas = 4023;
inline constexpr int kAreaWraps = 4024;
inline constexpr int kUnitInvalid = 4025;
inline constexpr int kImageAreasDiffer = 4026;
inline constexpr int kImageTooLong = 4027;
inline constexpr int kBackupNameInvalid = 4028;
inline constexpr int kBkFileNotPlain = 4029;
inline constexpr int kPartialNotCreated = 4030;
inline constexpr int kTargetNotRegular = 4031;
inline constexpr int kImageAreaDiffers = 4032;
inline constexpr int kImageAreaCount = 4033;
// Another backup is writing the same target (%s); the run stops before reading.
inline constexpr int kBackupBusy = 4040;
// The run's partial file (%s) was replaced by another file; the image is not stored.
inline constexpr int kPartialReplaced = 4041;

// CF transfer: questions, captions and errors.
inline constexpr int kAskCreateFolders = 5000;
inline constexpr int kCfReceiveCaption = 5001;
inline constexpr int kAskOverwritePc = 5002;
inline constexpr int kNoCfModel = 5003;
inline constexpr int kAskOverwriteCard = 5009;
inline constexpr int kFileSelectionCaption = 5014;
inline constexpr int kFolderSelectionCaption = 5015;
inline constexpr int kFileNameLabel = 5016;
inline constexpr int kFolderNameLabel = 5017;
inline constexpr int kCardFolderCreate = 5018;
inline constexpr int kCardDelete = 5019;
inline constexpr int kCardWrite = 5020;
inline constexpr int kCardRead = 5021;
inline constexpr int kCfSendCaption = 5022;
inline constexpr int kFileWrite = 5049;
inline constexpr int kCfInvalidName = 5050;
inline constexpr int kCfInvalidData = 5051;
inline constexpr int kCfNotPlainTarget = 5052;
inline constexpr int kCfNotCardName = 5053;
inline constexpr int kCfSymbolicLink = 5054;
inline constexpr int kCfSameCardName = 5055;
inline constexpr int kCfDuplicateNames = 5056;
// LAN receive: a card file left out for its name (the name, shown safely, in %s), and the
// number of those beyond the names shown.
inline constexpr int kCfNameLeftOut = 5057;
inline constexpr int kCfMoreNamesLeftOut = 5058;

// CF category lines, in the category table's order (receive, then send).
inline constexpr int kCfImageReceive = 5004;
inline constexpr int kCfSoundReceive = 5005;
inline constexpr int kCfFilingReceive = 5006;
inline constexpr int kCfCsvReceive = 5007;
inline constexpr int kCfLoggingReceive = 5023;
inline constexpr int kCfTrendReceive = 5024;
inline constexpr int kCfSamplingReceive = 5025;
inline constexpr int kCfCaptureReceive = 5026;
inline constexpr int kCfAlarm1Receive = 5027;
inline constexpr int kCfAlarm2Receive = 5028;
inline constexpr int kCfAlarm3Receive = 5029;
inline constexpr int kCfAlarm4Receive = 5030;
inline constexpr int kCfAlarm5Receive = 5031;
inline constexpr int kCfAlarm6Receive = 5032;
inline constexpr int kCfAlarm7Receive = 5033;
inline constexpr int kCfAlarm8Receive = 5034;
inline constexpr int kCfSramReceive = 5035;
inline constexpr int kCfImageSend = 5010;
inline constexpr int kCfSoundSend = 5011;
inline constexpr int kCfFilingSend = 5012;
inline constexpr int kCfCsvSend = 5013;
inline constexpr int kCfLoggingSend = 5036;
inline constexpr int kCfTrendSend = 5037;
inline constexpr int kCfSamplingSend = 5038;
inline constexpr int kCfCaptureSend = 5039;
inline constexpr int kCfAlarm1Send = 5040;
inline constexpr int kCfAlarm2Send = 5041;
inline constexpr int kCfAlarm3Send = 5042;
inline constexpr int kCfAlarm4Send = 5043;
inline constexpr int kCfAlarm5Send = 5044;
inline constexpr int kCfAlarm6Send = 5045;
inline constexpr int kCfAlarm7Send = 5046;
inline constexpr int kCfAlarm8Send = 5047;
inline constexpr int kCfSramSend = 5048;

// Closing lines.
inline constexpr int kDiscontinuation = 8000;
inline constexpr int kPleaseWait = 8001;

// Command prompts of the window (status bar text, then the tool tip after the line break).
inline constexpr int kCmdBackup = 32772;
inline constexpr int kCmdRestore = 32773;
inline constexpr int kCmdVerify = 32774;
inline constexpr int kCmdTransferSetup = 32775;
inline constexpr int kCmdAbort = 32777;
inline constexpr int kCmdProperty = 32778;
inline constexpr int kCmdComment = 32779;
inline constexpr int kCmdSimpleMode = 32789;
inline constexpr int kCmdDetailMode = 32790;
inline constexpr int kCmdCfReceive = 32791;
inline constexpr int kCmdCfSend = 32792;
inline constexpr int kCmdAbout = 57664;
inline constexpr int kCmdExit = 57665;
inline constexpr int kCmdToggleToolBar = 59392;
inline constexpr int kCmdToggleStatusBar = 59393;
inline constexpr int kIntegerRange = 61714;

}  // namespace kz::msg
