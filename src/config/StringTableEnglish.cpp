// English (1033) texts of the string table. Leading blanks are part of the status-line
// texts; "\n" is a line break inside a message box or between a command's status text
// and its tool tip.
#include "config/StringTableData.h"

namespace kz::detail {

namespace {

constexpr StringEntry kEnglish[] = {
    {128, "KZmnt\n\nKZmnt\n\n\nKZmnt.Document\nKZmnt Document"},

    // Window titles, dialog captions, list columns.
    {1000, "PC Transfer tool"},
    {1001, "Backup Confirmation"},
    {1002, "Restore Confirmation"},
    {1003, "Verify Confirmation"},
    {1004, "IP Address"},
    {1005, "Situation"},

    {2000, "The value besides the range is set up."},

    // Questions and notices of the controller and the network search.
    {3000, "Do you want to abort it?"},
    {3001, "A file exists. May I overwrite?"},
    {3002,
     "The specified file did not exist or it has damaged.\nPlease check a specification file "
     "again."},
    {3003, "It is searching."},
    {3004, "Search end"},
    {3005, "KZ is not found."},

    // Status lines of the operations.
    {3200, "*** Backup Start ***"},
    {3201, "*** Restoration Start ***"},
    {3202, "*** Verification Start ***"},
    {3203, "In a personal computer \"%s\" Data is backed up."},
    {3204, "\"%s\" Backup data is written in"},
    {3205, "\"%s\"  It verifies."},
    {3206, "Address=%s , Size=%s"},
    {3207, "*** CF file reception start ***"},
    {3208, "*** CF file transmitting start ***"},
    {3299, "Processing was completed."},
    {3300, "    ILOADER has downloaded..."},
    {3301, "    Establishment of a communication circuit"},
    {3302, "    CORE-ID Check"},
    {3303, "    I Connected ILOADER"},
    {3304, "    Change of a baud rate(%d)"},
    {3305, "    Connect Complete"},
    {3310, "    I/O CODE Check"},
    {3311, "    Buckup(%d/%d)..."},
    {3312, "    VERIFY(%d/%d)..."},
    {3313, "    RESTORE(%d/%d)..."},
    {3314, "Under SLOADER transmission..."},
    {3315, "The check of hardware information"},
    {3316, "The check of a signature"},
    {3317, "Please return KZ to an on-line screen.\nPlease click the \"O.K.\" button."},
    {3318, "    The data read so far is kept in %s"},
    // Why a setting could not be saved in KZMNT.INI.
    {3320,
     "KZMNT.INI could not be read as a settings file, so it was left as it is and the "
     "setting was not saved."},
    {3321, "KZMNT.INI could not be written; the setting was not saved."},
    {3322, "A value with a line break cannot be stored in KZMNT.INI; the setting was not saved."},

    // The serial link: why the port could not be had, and the bounded power-reset wait.
    {3330, "    No power reset of the unit was seen within %d seconds."},
    {3331, "    The serial port %s does not exist."},
    {3332, "    The serial port %s is in use by another program."},
    {3333, "    There is no permission to use the serial port %s."},
    {3334, "    The serial port %s could not be opened."},

    // The start of an operation and the command-line front-end's notices.
    {3340, "the path is empty"},
    {3341,
     "AUTOFILENAME is on, so \"%s\" must be a folder: it must not name an existing file, and "
     "a new folder's name must not contain a '.'"},
    {3342, "\"%s\" must end with .mem and must not name an existing folder"},
    {3343,
     "\"%s\" must be a folder: it must not name an existing file, and a new folder's name "
     "must not contain a '.'"},
    {3344, "\"%s\" must name an existing folder"},
    {3345, "\"%s\" does not exist"},
    {3346, "\"%s\" cannot be read: %s"},
    {3347, "\"%s\" is not a regular file"},
    {3348, "the comment is cut to %d characters: \"%s\""},
    {3349, "the comment of \"%s\" could not be written"},
    {3350, "Choose a KZ by its number (1-%d; Enter: Cancel): "},
    {3351, "image file %s"},
    {3352,
     "In order to establish a communication handshake,\nplease reset the power supply of the "
     "unit.\nIt starts automatically.\n(Ctrl-C cancels)"},
    {3353, "waiting for the unit is cancelled"},
    {3354, "aborting the operation"},
    {3355, "terminated: aborting the operation"},
    {3356, "The password is set up.\nPlease input a password: "},
    {3357,
     "the panel asks for a password and there is no terminal to type it (--password gives "
     "it)"},
    {3358, "the serial port could not be opened: %s"},
    {3359, "no terminal to answer this question: Cancel (--yes answers OK)"},

    // Errors (m_nError) and the engine's own status lines.
    {4000, "Please check a power supply or a cable."},
    {4001, "Processing was aborted by operation."},
    {4002, "Retry Over"},
    {4003, "Reading of ILOADER went wrong."},
    {4004, "Data which is not in agreement by verification."},
    {4005, "Apparatus information is not registered."},
    {4006, "CORE-ID is different."},
    {4007, "IO-CODE is different."},
    {4008, "    Time Out..."},
    {4009, "The password is wrong. Please input again."},
    {4010, "When a password input was carried out, the retry error occurred."},
    {4011, "Password input"},
    {4012, "There is no CF card."},
    {4014, "The size of FEPROM is different."},
    {4015, "The size of SRAM is different."},
    {4016, "Signature is different."},
    {4017, "Insufficient memory"},
    {4018, "    Data error"},
    {4019, "The backup file holds less data than its header describes."},
    {4020, "The memory areas of the model definition are not valid."},
    {4021, "    %s is not valid: start and size must be hexadecimal numbers, the size above 0."},
    {4022, "    No memory area (FROM1, SRAM1) is defined."},
    {4023, "    More than 24 memory areas are defined (%s is one too many)."},
    {4024, "    %s goes past the end of the address space."},
    {4025, "    OFFSET is not a hexadecimal number."},
    {4026, "The memory areas of the backup file do not match the model definition."},
    {4027, "The backup file holds more data than its header describes."},
    {4028, "The automatic backup file name is not valid."},
    {4029, "    BK_FILE \"%s\" must be a plain file name."},
    {4030, "    The temporary file %s could not be created."},
    {4031, "    %s is not a regular file and is not replaced."},
    {4032, "    Area %d differs: backup file %s, model %s"},
    {4033, "    The backup file has %d areas, the model %d."},

    // CF card transfer: questions, captions, card errors.
    {5000, "Is a folder created?"},
    {5001, "CF file reception"},
    {5002, "It has already existed. Does it overwrite?"},
    {5003, "It is not a model corresponding to CF card."},
    {5004, "Image data reception"},
    {5005, "Sound data reception"},
    {5006, "Filing data reception"},
    {5007, "CSV file reception"},
    {5009, "It overwrites to CF card of a transmission place. \n Is it all right to this?"},
    {5010, "Image file transmission"},
    {5011, "Sound file transmission"},
    {5012, "Filing data transmission"},
    {5013, "CSV file transmission"},
    {5014, "File selection"},
    {5015, "Folder selection"},
    {5016, "File name"},
    {5017, "Folder name"},
    {5018, "PC Card Directory Create error"},
    {5019, "PC Card Delete error"},
    {5020, "PC Card Write error"},
    {5021, "PC Card Read error"},
    {5022, "CF file transmission"},
    {5023, "Logging data reception"},
    {5024, "Trend graph data reception"},
    {5025, "Sampling data reception"},
    {5026, "Screen capture/Video capture reception"},
    {5027, "Alarm active data/Block1 reception"},
    {5028, "Alarm history data/Block2 reception"},
    {5029, "Alarm log data/Block3 reception"},
    {5030, "Alarm Block4 data reception"},
    {5031, "Alarm Block5 data reception"},
    {5032, "Alarm Block6 data reception"},
    {5033, "Alarm Block7 data reception"},
    {5034, "Alarm Block8 data reception"},
    {5035, "Backup SRAM data reception"},
    {5036, "Logging data transmission"},
    {5037, "Trend graph data transmission"},
    {5038, "Sampling data transmission"},
    {5039, "Screen capture/Video capture transmission"},
    {5040, "Alarm active data/Block1 transmission"},
    {5041, "Alarm history data/Block2 transmission"},
    {5042, "Alarm log data/Block3 transmission"},
    {5043, "Alarm Block4 data transmission"},
    {5044, "Alarm Block5 data transmission"},
    {5045, "Alarm Block6 data transmission"},
    {5046, "Alarm Block7 data transmission"},
    {5047, "Alarm Block8 data transmission"},
    {5048, "Backup SRAM data transmission"},
    {5049, "File write error"},
    {5050, "The CF card sent an invalid file name."},
    {5051, "The CF card sent invalid data."},
    {5052, "    %s was not stored: it or its folder is a link or not a plain file."},
    {5053, "    %s was left out: it is not a CF file name."},
    {5054, "    %s was left out: it is a symbolic link."},
    {5055, "    %s and %s are the same file on the CF card."},
    {5056, "Two PC files have the same name on the CF card."},

    // A deferred abort.
    {8000, "    Discontinuation processing is carried out."},
    {8001, "    ... Please wait for a while."},

    // Command status texts: "status line\ntool tip".
    // The desktop window: menu, form and tool bar (20000-20199).

    // File selection, model information, restore warning, comment edit and property
    // dialogs (20200-20299).
    {20200, "OK"},
    {20201, "Cancel"},
    {20202, "Browser"},
    {20203, "Backup file name automatic selection"},
    {20204, "Comment"},
    {20205, "File Name"},
    {20206, "Core ID"},
    {20207, "Model"},
    {20208, "I/O Code"},
    {20209, "FEPROM"},
    {20210, "SRAM"},
    {20211, "Property"},
    {20212, "Comment Edit"},
    {20213, "ModelInfomation"},
    {20214, "Restoration is started."},
    {20215, "Please choose a folder."},
    {20216,
     "The memory of the connected unit will be overwritten with the data of the backup "
     "file.\nDo not switch the power supply of the unit off until the restoration has "
     "finished."},
    {20217,
     "The comment could not be written to the backup file.\nPlease check that the file "
     "still exists, is not damaged and may be written."},
    {20218, "File(*.MEM)"},

    // Transfer setup, password, power-reset wait, node list, network search and about
    // dialogs (20300-20399).
    {20300, "Transfer Setup"},
    {20301, "SIO"},
    {20302, "Ethernet"},
    {20303, "Com port"},
    {20304, "Baud rate"},
    {20305, "Write Timeout"},
    {20306, "Read Timeout"},
    {20307, "Retry"},
    {20308, "(sec)"},
    {20309, "SET"},
    {20310, "Cancel"},
    {20311, "Device"},
    {20312, "The password is set up."},
    {20313, "Please input a password."},
    {20314, "OK"},
    {20315, "In order to establish a communication handshake,\nplease reset the power supply of the unit.\nIt starts automatically."},
    {20316, "Node List"},
    {20317, "Execute"},
    {20318, "Network Data Search"},
    {20319, "Please enter the IP address(using standard dot separators) & IP Port Number of the KZ you are connecting to."},
    {20320, "If no address is entered, the program will search in the PC's same group for this data."},
    {20321, "EX.)  IP Address:192.9.201.3    IP Port Number:8000"},
    {20322, "Port"},
    {20323, "About"},
    {20324, "PC Transfer tool Version 3.0"},
    {20325, "Link"},
    {20326, "Serial line"},

    {32772, "Data of connection apparatus is backed up.\nBACKUP"},
    {32773, "Data is written in connection apparatus.\nRESTORE"},
    {32774, "Data of connection apparatus is verified.\nVERIFY"},
    {32775, "The conditions of transfer are set up.\nTransfer Setup"},
    {32777, "The processing under execution is aborted.\nAbort"},
    {32778, "The property of a backup file is displayed.\nProperty"},
    {32779, "The comment of a backup file is edited.\nComment"},
    {32789, "It changes to a simple display.\nSimple mode"},
    {32790, "It changes to a detailed display.\nDetail mode"},
    {32791, "The file of CF card is received.\nCF file receive"},
    {32792, "A file is transmitted to CF card.\nCF file send"},
    {57664, "Display program information, version number and copyright\nAbout"},
    {57665, "Quit the application\nExit"},
    {59392, "Show or hide the toolbar\nToggle ToolBar"},
    {59393, "Show or hide the status bar\nToggle StatusBar"},

    // The framework's integer-range message (%1 and %2 are the limits).
    {61714, "Please enter an integer between %1 and %2."},
};

static_assert(SortedUnique(kEnglish), "English string table must be sorted by id");

}  // namespace

std::span<const StringEntry> EnglishStrings() {
    return kEnglish;
}

}  // namespace kz::detail
