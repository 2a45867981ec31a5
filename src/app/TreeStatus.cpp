#include "app/TreeStatus.h"

#include "app/FailureReason.h"
#include "app/LogEscape.h"
#include "app/LogTexts.h"

std::string TreeStatus::run(const std::string& folder)
{
    walkTree(folder);
    std::uint64_t total = 0;
    for (const auto& counted : counts)
        total += counted;
    std::string line = stateWord(total);
    line += "\t" + std::to_string(total);
    for (const EntryState state : {EntryState::Recorded, EntryState::WithoutWrite,
                                   EntryState::WithWrite, EntryState::Unreadable})
        line += "\t" + std::to_string(count(state));
    return line + "\t" + escapedForLog(folder);
}

// An entry gone since it was listed is no entry; one the walk could not go
// into is one that could not be read.
walk::Visit TreeStatus::visit(const walk::WalkEntry& entry)
{
    if (entry.failure == walk::WalkFailure::OtherFileSystem)
        return walkFailure(entry);
    if (entry.failure != walk::WalkFailure::Missing && entry.failure != walk::WalkFailure::None)
        ++counts[static_cast<unsigned>(EntryState::Unreadable)];
    if (entry.failure != walk::WalkFailure::None)
        return walkFailure(entry);
    try {
        return visitEntry(entry);
    } catch (...) {
        return walk::Visit{false, nullptr, nullptr}; // no memory left even for its line
    }
}

walk::Visit TreeStatus::visitEntry(const walk::WalkEntry& entry)
{
    if (entry.configuredFolder)
        folderIdentity = entries.identify(*entry.object);
    const EntryReading reading = entries.read(*entry.object, folderIdentity);
    ++counts[static_cast<unsigned>(reading.state)];
    if (reading.state != EntryState::Unreadable)
        return walk::Visit{true, nullptr, nullptr};
    noteErrors({reading.error});
    LogLines lines;
    std::string reason = reasonLine(logtext::kStatusTag, {reading.error}, entry.path.path());
    if (!reason.empty())
        lines.warn(std::move(reason));
    return visitWith(false, std::move(lines));
}

std::uint64_t TreeStatus::count(EntryState state) const
{
    return counts[static_cast<unsigned>(state)];
}

// A record names no folder yet: any record counts as one of this folder's
// lock.
const char* TreeStatus::stateWord(std::uint64_t total) const
{
    const std::uint64_t recorded = count(EntryState::Recorded);
    if (total == 0)
        return "missing";
    if (recorded == total)
        return "locked";
    return recorded == 0 ? "unlocked" : "partly";
}
