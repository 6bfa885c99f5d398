// String ids of the desktop window's own texts (menu, form, tool bar, status bar).
#pragma once

namespace kz::ui::txt {

inline constexpr int kMenuFile = 20000;
inline constexpr int kMenuSetting = 20001;
inline constexpr int kMenuView = 20002;
inline constexpr int kMenuHelp = 20003;
// Menu item texts, in the order of the command ids below.
inline constexpr int kItemBackUp = 20010;
inline constexpr int kItemVerify = 20011;
inline constexpr int kItemRestore = 20012;
inline constexpr int kItemCfReceive = 20013;
inline constexpr int kItemCfSend = 20014;
inline constexpr int kItemAbort = 20015;
inline constexpr int kItemTransferSetup = 20016;
inline constexpr int kItemProperty = 20017;
inline constexpr int kItemComment = 20018;
inline constexpr int kItemSimpleMode = 20019;
inline constexpr int kItemDetailMode = 20020;
inline constexpr int kItemToolBar = 20021;
inline constexpr int kItemStatusBar = 20022;
inline constexpr int kItemAbout = 20023;
inline constexpr int kItemExit = 20024;
inline constexpr int kReady = 20030;
inline constexpr int kIndicatorKana = 20031;
inline constexpr int kIndicatorCaps = 20032;
inline constexpr int kIndicatorNum = 20033;
inline constexpr int kIndicatorScroll = 20034;
inline constexpr int kToolBarName = 20040;
inline constexpr int kButtonOk = 20041;
inline constexpr int kButtonCancel = 20042;

inline constexpr int kLabelFileName = 20100;
inline constexpr int kLabelComment = 20101;
inline constexpr int kLabelModel = 20102;
inline constexpr int kLabelStatus = 20103;
inline constexpr int kLabelProcess = 20104;
inline constexpr int kPowerWarning = 20105;
// A second copy of the program was started.
inline constexpr int kAlreadyRunning = 20106;
// The status bar's message pane while an operation runs (backup, verify, restore, CF
// receive, CF send, one started by other means).
inline constexpr int kRunningBackUp = 20107;
inline constexpr int kRunningVerify = 20108;
inline constexpr int kRunningRestore = 20109;
inline constexpr int kRunningCfReceive = 20110;
inline constexpr int kRunningCfSend = 20111;
inline constexpr int kRunningOther = 20112;
// Closing the window during a run: what an interrupted run leaves (under question 3000),
// and the wait for the aborted run to end (%d: seconds left of the bound).
inline constexpr int kCloseAbortNote = 20113;
inline constexpr int kClosingWait = 20114;
// The status list's context menu.
inline constexpr int kCopy = 20115;
inline constexpr int kSelectAll = 20116;
// Help → Open log, and why it could not (%s: the log's path).
inline constexpr int kItemOpenLog = 20117;
inline constexpr int kNoLogYet = 20118;
inline constexpr int kLogNotOpened = 20119;
// File → Compare images and Help → History, their dialogs and buttons.
inline constexpr int kItemCompareImages = 20140;
inline constexpr int kItemHistory = 20141;
inline constexpr int kCompareCaption = 20142;
inline constexpr int kCompareFirst = 20143;
inline constexpr int kCompareSecond = 20144;
inline constexpr int kCompareButton = 20145;
inline constexpr int kHistoryCaption = 20146;
inline constexpr int kClose = 20147;
// The restore warning's note of the safety backup just taken (%s: its file).
inline constexpr int kSafetyBackupNote = 20148;
// A backup's target has a partial image of an interrupted run (%s: the partial file):
// Yes resumes, No starts over, Cancel does nothing; the buttons' texts.
inline constexpr int kResumeQuestion = 20149;
inline constexpr int kButtonYes = 20150;
inline constexpr int kButtonNo = 20151;

}  // namespace kz::ui::txt
