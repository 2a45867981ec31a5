#include "app/TreeVisit.h"

#include "app/ExceptionText.h"
#include "app/FailureReason.h"
#include "app/FolderList.h"
#include "app/ListingError.h"
#include "app/LogTexts.h"
#include "app/RunLog.h"
#include "app/SystemError.h"

void TreeVisit::deliver(std::unique_ptr<walk::VisitReport> report)
{
    log.write(static_cast<const EntryReport&>(*report).lines);
}

bool TreeVisit::walkTree(const std::string& folder)
{
    try {
        walk::FolderWalk walk(*this, options);
        return walk.run(folder);
    } catch (...) {
        log.fatal(logtext::kWalkTag,
                  exceptionText(std::current_exception(), logtext::kPocoUpperLabel));
    }
    return false;
}

walk::Visit TreeVisit::walkFailure(const walk::WalkEntry& entry)
{
    try {
        return visitWith(false, walkFailureLines(entry));
    } catch (...) {
        return walk::Visit{false, nullptr, nullptr}; // no memory left even for its line
    }
}

// An entry gone since it was listed has no error of its own.
LogLines TreeVisit::walkFailureLines(const walk::WalkEntry& entry)
{
    LogLines lines;
    const std::string path = entry.path.path();
    switch (entry.failure) {
    case walk::WalkFailure::None:
        break;
    case walk::WalkFailure::Missing:
        lines.error(ReturnCode::Missing, logtext::kExistsTag, missingPathText(path));
        noteErrors({entry.error});
        lines.warn(reasonLine(logtext::kExistsTag, {entry.error != 0 ? entry.error : notFoundError()},
                              path));
        break;
    case walk::WalkFailure::Unlistable:
        lines.fatal(logtext::kWalkTag,
                    exceptionText(listingError(path, entry.error), logtext::kPocoUpperLabel));
        noteErrors({entry.error});
        if (entry.error != 0)
            lines.warn(reasonLine(logtext::kWalkTag, {entry.error}, path));
        break;
    case walk::WalkFailure::Broken:
        lines.fatal(logtext::kWalkTag, exceptionText(entry.exception, logtext::kPocoUpperLabel));
        break;
    case walk::WalkFailure::OtherFileSystem:
        lines.warn(taggedHead(logtext::kWalkTag) + " :: " + path + logtext::kMountPointLeft);
        break;
    }
    return lines;
}

void TreeVisit::noteErrors(const std::vector<int>& errors)
{
    for (const int error : errors)
        if (isAccessDenial(error))
            accessDenied = true;
}

walk::Visit TreeVisit::visitWith(bool changed, LogLines lines)
{
    walk::Visit visit{changed, nullptr, nullptr};
    if (lines.empty())
        return visit;
    auto report = std::make_unique<EntryReport>();
    report->lines = std::move(lines);
    visit.report = std::move(report);
    return visit;
}
