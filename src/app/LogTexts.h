// Every tag and text of the lines the run writes, each spelt once. The tags
// and the quoted texts are the system's own: log readers match on them, so
// they stay as they are, misspellings and all. A line is
// "[" + tag + "]: " + tag + text (ReturnCode.h builds the heads).
#ifndef TOLVANE_APP_LOG_TEXTS_H
#define TOLVANE_APP_LOG_TEXTS_H

namespace logtext {

// Tags: the function each line is written in the name of.
constexpr char kMainTag[] = "WinMain";
constexpr char kLoadTag[] = "C_TolvaneManager::loadFoldersPaths";
constexpr char kReadTag[] = "C_TolvaneManager::readIniValue";
constexpr char kExistsTag[] = "C_TolvaneManager::isFileExists";
constexpr char kWalkTag[] = "C_TolvaneManager::recursiveFolderPermissionAccess";
constexpr char kModificationTag[] = "C_TolvaneManager::filePermissionModification";
constexpr char kLockTag[] = "C_TolvaneManager::lockWritingPermission";
constexpr char kUnlockTag[] = "C_TolvaneManager::unlockWritingPermission";

// The run.
constexpr char kRunning[] = " :: Tolvane Application is running..";
constexpr char kEnded[] = " :: Tolvane Application ended running";
constexpr char kWrongArgument[] = "Passed argument is incorrect, try '-lock' or '-unlock' ";
constexpr char kEmptyFolderList[] = "Empty Folder list";
constexpr char kAnotherInstance[] = "Another instance is running";
constexpr char kLockWord[] = "Lock";
constexpr char kUnlockWord[] = "Unlock";
constexpr char kSuccessBefore[] = " writing Permission for file (";
constexpr char kSuccessAfter[] = ") with Success";
constexpr char kRefusingToRun[] = "Refusing to run: ";

// The folder list.
constexpr char kConfigurationKeyBefore[] = "Configuration file : [";
constexpr char kWrongValue[] = " Wrong value introduced";
constexpr char kConfigurationUnfound[] = "Configuration file unfound";
constexpr char kUnfoundParameter[] = " unfound parameter";
constexpr char kEmptyValue[] = " Empty value";
constexpr char kFileWord[] = "File ";
constexpr char kDoesNotExist[] = " doesn't exist";

// One entry.
constexpr char kLockingWord[] = "Locking";
constexpr char kUnlockingWord[] = "Unlocking";
constexpr char kModificationBefore[] = " writing permission for File ( ";
constexpr char kModificationAfter[] = " ) failed ";

// The steps of a DACL rewrite, each followed by the entry's path.
constexpr char kReadSecurityFailed[] = "Getting Security Information Failed for ";
constexpr char kAllocDescriptorFailed[] = "Alloc new security descriptor failed for ";
constexpr char kInitDescriptorFailed[] = "Creating new security descriptor failed for ";
constexpr char kTakeDaclFailed[] = "Getting DACL from security descriptor failed for ";
constexpr char kQuerySizeFailed[] = "Getting ACL size information Failed for ";
constexpr char kAllocDaclFailed[] = "Alloc new ACL failed for ";
constexpr char kInitDaclFailed[] = "Initializing new DACL Failed for ";
constexpr char kGetAceFailed[] = "Getting ACE Failed for ";
constexpr char kAddAceFailed[] = "Adding ACE to new ACL Failed for ";
constexpr char kAttachDaclFailed[] = "Setting new security descriptor to new ACL Failed for ";
constexpr char kWriteDaclFailed[] = "Setting file new security descriptor Failed for ";
constexpr char kRecordNotKept[] = "Storing write record Failed, unlock leaves it locked, for ";
constexpr char kRemoveRecordFailed[] = "Removing write record Failed for ";

// Lines of the run's own, at INFO or WARN: they tell, and store no code.
// Entries -unlock left as they were: without a record although they look
// locked, or with the record of another configured folder's lock.
constexpr char kUnrecordedEntry[] = " has no write record and looks locked; left as it is";
constexpr char kEntriesBelow[] = " entries below ";
constexpr char kUnrecordedLeft[] = " have no write record and look locked; left as they are";
constexpr char kForeignLeft[] = " hold the write record of another configured folder's lock; "
                                "left as they are for its own unlock, the first: ";

// An entry made while its folder was locked, opened with the folder.
constexpr char kMadeWhileLocked[] =
    " was made while its folder was locked; given what its folder gives a new entry now";

// A mount point below a configured folder.
constexpr char kMountPointLeft[] = " is a mount point: another file system is neither changed "
                                   "nor entered; list it in Tolvane.ini to lock it";

// Why a failure happened, in the system's words, after the failure's lines:
// " :: Reason: <text>[; <text>...], for <path>".
constexpr char kReasonBefore[] = " :: Reason: ";
constexpr char kReasonSeparator[] = "; ";
constexpr char kReasonFor[] = ", for ";
// The end of a configured folder's walk: " :: Lock of (<folder>) done: N
// entries changed, N failed, N left without a record, in S s".
constexpr char kSummaryOf[] = " of (";
constexpr char kSummaryDone[] = ") done: ";
constexpr char kSummaryChanged[] = " entries changed, ";
constexpr char kSummaryFailed[] = " failed, ";
constexpr char kSummaryWithoutRecord[] = " left without a record, in ";
constexpr char kSummarySeconds[] = " s";
// A run without root that the system refused a right.
constexpr char kNeedsRoot[] =
    " :: Access was denied and this run is not root's: tolvane needs root to read and "
    "change every entry";
// A record store that could not be used this run.
constexpr char kRecordStoreNotUsed[] = " :: Record store not used: ";
constexpr char kOpeningAhead[] = " :: Entries are opened and closed through io_uring";
constexpr char kOpeningByCalls[] = " :: Entries are opened and closed by plain calls: ";
constexpr char kOpenAheadOff[] = "TOLVANE_IO_URING is 0";
// -status names its lines after an operation of its own.
constexpr char kStatusTag[] = "C_TolvaneManager::writingPermissionStatus";

// Exceptions: "<label><name> -- <message>" for POCO's, the label followed
// by what() for the standard ones.
constexpr char kPocoLabel[] = "Poco Exception ";
constexpr char kPocoUpperLabel[] = "POCO Exception ";
constexpr char kStdLabel[] = "STD Exception ";
constexpr char kPocoSeparator[] = " -- ";
constexpr char kUnknownException[] = "Exception Uknown Error";
// The count of folders is read under a head of its own.
constexpr char kCountReadPocoCode[] = " :: ReturnCode= -7 : POCO Exception ";

} // namespace logtext

#endif
