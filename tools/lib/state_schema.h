// The state database's layout: its SQL, its versions and its columns, for
// state.cpp alone. May include nothing.
#pragma once

// "QORS" in the header's application id; the schema's version in its user
// version. Version 2 added what each run looked at and each release's
// place; a database of version 1 is upgraded to it.
constexpr int application_id = 0x514F5253;
constexpr int schema_version = 2;

constexpr const char schema_1[] =
    "CREATE TABLE run ("
    " id INTEGER PRIMARY KEY,"
    " started INTEGER NOT NULL," // seconds since 1970, UTC
    " ended INTEGER,"            // null while unfinished
    " finished INTEGER NOT NULL DEFAULT 0,"
    " arguments TEXT NOT NULL,"
    " settings TEXT NOT NULL);" // the key ids and --strict, which a verdict depends on
    "CREATE TABLE judgement ("
    " run INTEGER NOT NULL REFERENCES run(id),"
    " path BLOB NOT NULL,"     // the name as printed, its exact bytes
    " relative BLOB NOT NULL," // below its operand, or as listed
    " checked INTEGER NOT NULL,"
    " genuine INTEGER NOT NULL,"
    " passed INTEGER NOT NULL,"
    " stage INTEGER NOT NULL,"
    " status BLOB NOT NULL," // the status lines, each ending in a line feed; empty when usual
    " reason BLOB NOT NULL,"
    " missing BLOB NOT NULL,"
    " key TEXT NOT NULL,"
    " size INTEGER NOT NULL,"
    " covered INTEGER NOT NULL,"
    " uncovered INTEGER NOT NULL,"
    " file_size INTEGER," // null where the file could not be described
    " modified_ns INTEGER,"
    " changed_ns INTEGER,"
    " device INTEGER,"
    " inode INTEGER,"
    " judged INTEGER NOT NULL," // when the file was read, seconds since 1970
    " was_read INTEGER NOT NULL,"
    " PRIMARY KEY (run, path)) WITHOUT ROWID;"
    "CREATE INDEX judgement_by_path ON judgement (path, run);";

// From version 1 to 2; also what makes a new database, after version 1's
// schema, so that every database of a version has one layout. A run of
// version 1 has no scope; its places are its names normalised.
constexpr const char upgrade_to_2[] =
    "ALTER TABLE run ADD COLUMN folder BLOB;"   // null: no scope recorded
    "ALTER TABLE run ADD COLUMN operands BLOB;" // resolved, each ended by a NUL byte
    "ALTER TABLE run ADD COLUMN excludes BLOB;" // likewise
    "ALTER TABLE run ADD COLUMN list BLOB;"
    "ALTER TABLE run ADD COLUMN recursive INTEGER;"
    "ALTER TABLE judgement ADD COLUMN place BLOB;"
    "UPDATE judgement SET place = qor_place('', path);"
    "CREATE INDEX judgement_by_place ON judgement (place, run);"
    "PRAGMA user_version = 2;";

// The columns of each table as version 2 has them, in order.
constexpr const char run_columns[] =
    "id,started,ended,finished,arguments,settings,folder,operands,excludes,list,recursive";
constexpr const char judgement_columns[] =
    "run,path,relative,checked,genuine,passed,stage,status,reason,missing,key,size,covered,"
    "uncovered,file_size,modified_ns,changed_ns,device,inode,judged,was_read,place";

constexpr const char columns[] =
    "path, relative, checked, genuine, passed, stage, status, reason, missing, key, size, "
    "covered, uncovered, file_size, modified_ns, changed_ns, device, inode, judged, was_read, "
    "place";
constexpr int column_count = 21;
