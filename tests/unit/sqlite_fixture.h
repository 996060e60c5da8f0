#pragma once
#include <sqlite3.h>

#include <cstdlib>
#include <string>

// A small database file with one table of users, made fresh for each test.
inline std::string make_fixture_db(const std::string& path)
{
    std::remove(path.c_str());
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    std::string long_name(250, 'n');
    std::string sql =
        "create table softswitch (tel text, name text, status int, note text);"
        "insert into softswitch values ('801', 'alpha', 5, '');"
        "insert into softswitch values ('802', 'beta', 1, NULL);"
        "insert into softswitch values ('803', '" + long_name + "', 0, 'x');"
        "create table empty (a text);";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return path;
}
