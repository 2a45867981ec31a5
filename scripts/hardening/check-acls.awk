# Judges a tree's ACLs against the ones it had before any run.
#
# usage: awk -v require=any|locked|unlocked -f check-acls.awk ORIGINAL CURRENT
# Both files are `getfacl -RpEn` listings. Every ACL (the access ACL of each
# file and folder, and each folder's default ACL on its own) must be, entry
# for entry, one of:
#   locked    the original with w cleared in every entry,
#   unlocked  the original itself: -unlock gives back exactly what -lock
#             took (and an ACL not yet reached by any run is the original);
# with require=locked or require=unlocked, only that form. Owners, groups and
# the setuid/setgid/sticky flags must never change; no file may appear or go.
# Prints one line of counts; exits 1 on any ACL in none of the allowed forms.
# A folder whose two ACLs are in different forms (a run stopped between
# writing the two) is counted apart as "between"; it is not a failure.

function rightsOf(line) { return substr(line, length(line) - 2) }
function headOf(line) { return substr(line, 1, length(line) - 3) }
function locking(line,    r) {
    r = rightsOf(line)
    return headOf(line) substr(r, 1, 1) "-" substr(r, 3, 1)
}
function report(problem, path) {
    if (shown++ < 10)
        print "  " problem ": " path > "/dev/stderr"
}

FNR == 1 { listing++ }
/^# file: / { path = substr($0, 9); present[listing, path] = 1; next }
/^$/ { next }
/^#/ { meta[listing, path] = meta[listing, path] $0 "\n"; next }
{
    kind = ($0 ~ /^default:/) ? "default" : "access"
    if (listing == 1) {
        acls[path, kind] = 1
        original[path, kind] = original[path, kind] $0 "\n"
        locked[path, kind] = locked[path, kind] locking($0) "\n"
    } else {
        current[path, kind] = current[path, kind] $0 "\n"
        if (!((path, kind) in acls))
            extra_acls++
    }
}

END {
    for (key in acls) {
        split(key, part, SUBSEP)
        text = current[key]
        isLocked = text == locked[key]
        isUnlocked = text == original[key]
        checked++
        if (isLocked) count_locked++
        else if (isUnlocked) count_unlocked++
        ok = (require == "locked") ? isLocked : (require == "unlocked") ? isUnlocked : \
             (isLocked || isUnlocked)
        if (!ok) { bad++; report("ACL in no allowed form (" part[2] ")", part[1]) }
        formL[key] = isLocked; formU[key] = isUnlocked
    }
    for (key in acls) {
        split(key, part, SUBSEP)
        if (part[2] != "default") continue
        access = part[1] SUBSEP "access"
        if (!((formL[key] && formL[access]) || (formU[key] && formU[access])))
            between++
    }
    for (key in present) {
        split(key, part, SUBSEP)
        if (part[1] == 1 && !((2, part[2]) in present)) { missing++; report("missing", part[2]) }
        if (part[1] == 2 && !((1, part[2]) in present)) { extra++; report("new", part[2]) }
        if (part[1] == 1 && meta[1, part[2]] != meta[2, part[2]]) {
            changed_meta++; report("owner, group or flags changed", part[2])
        }
    }
    printf "checked %d locked %d unlocked %d bad %d between %d missing %d new %d " \
           "meta-changed %d\n", checked, count_locked, count_unlocked, bad, \
           between, missing, extra + extra_acls, changed_meta
    exit (bad + missing + extra + extra_acls + changed_meta > 0) ? 1 : 0
}
