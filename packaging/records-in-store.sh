# The units' state folder: the record store of the entries that could not
# keep their record in their own trusted.tolvane attribute.
state=/var/lib/tolvane

# One line when the record store still holds records of locked entries, or
# may (sqlite3 is not installed, or cannot read it in time); nothing when it
# holds none or does not exist. A read-write connection, unlike a read-only
# one, removes the -wal and -shm files it opens when it closes.
records_in_store() {
    database=$state/records.sqlite
    [ -f "$database" ] || return 0
    rows=$(timeout -s KILL 10 sqlite3 "$database" 'SELECT count(*) FROM records;' \
        2>/dev/null) || rows=
    case $rows in
    0) ;;
    '' | *[!0-9]*) echo "$database may hold records of locked entries" ;;
    *) echo "$database holds the records of $rows locked entries" ;;
    esac
}
