// Where the records of what -lock took live on Windows: one REG_BINARY value
// per file under HKLM\SOFTWARE\Tolvane\WriteRecords, named by the file's
// volume GUID and 128-bit file ID, which stay with the file whatever it is
// renamed to. Not in an alternate data stream: whoever may write a file, or
// owns it and so may give himself that right, may write its streams, and a
// forged record would make -unlock grant write to whoever it names. The key
// is created with a DACL for Administrators and SYSTEM alone; users can
// create no key below HKLM\SOFTWARE, so none can plant it beforehand; a key
// found whose owner or DACL lets another account write it is refused all
// the same. The store opens it once, at its first use, and keeps it while
// it lives.
#ifndef TOLVANE_RECORD_STORE_WIN32_H
#define TOLVANE_RECORD_STORE_WIN32_H

#include "win32/OpenEntry_WIN32.h"

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace winsec {

// What reading or removing a record reports while the key is not the
// administrators' alone; a lock then goes on without records.
constexpr DWORD kErrorRecordKeyNotTrusted = ERROR_INVALID_SECURITY_DESCR;

// The value's name for the file behind the entry; kErrorWriteRecordsUnsupported
// for a file without an identity of its own (a file ID of all zeros or all
// ones, a file system without IDs, a volume without a GUID).
DWORD recordNameOf(const OpenEntry& entry, std::wstring* name);

// Rule: all zeros or all ones is what a file system answers that has no
// unique ID for a file; every such file would share one record.
bool isFileIdentity(const BYTE (&fileId)[16]);

// The key and what was done with it; safe on several threads at once.
class RecordStore {
public:
    RecordStore() = default;
    ~RecordStore();
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    DWORD store(const OpenEntry& entry, const std::vector<BYTE>& record);
    DWORD read(const OpenEntry& entry, std::vector<BYTE>* record);
    DWORD remove(const OpenEntry& entry);

    // Removes the records of files of the entry's volume that no longer
    // exist, once per volume and store: a user who makes files before each
    // lock would otherwise grow the key without bound. Returns how many went.
    std::size_t pruneGoneFiles(const OpenEntry& anyOnVolume);

private:
    DWORD openKey(bool create, HKEY* opened);
    DWORD locate(const OpenEntry& entry, bool create, HKEY* opened, std::wstring* name);
    bool firstPruneOf(const std::wstring& volume);

    std::mutex lock;
    HKEY key = nullptr;
    DWORD refusal = ERROR_SUCCESS; // the key found was refused
    std::set<std::wstring> prunedVolumes;
};

} // namespace winsec

#endif
