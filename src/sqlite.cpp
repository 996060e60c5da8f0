#include "sqlite.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "board.h"
#include "text.h"

namespace {

char g_empty_text[1] = {0};  // handed out for "nothing"; never freed, never written

bool file_exists_readable(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::fclose(f);
    return true;
}

Database open_existing(const std::string& path)
{
    if (!file_exists_readable(path)) return nullptr;
    sqlite3* db = nullptr;
    // READWRITE without CREATE: the layer never makes a database file.
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        if (db) sqlite3_close(db);
        return nullptr;
    }
    return db;
}

bool statement_fits(const char* sql, std::size_t max)
{
#if QUERY_SWITCH_FORM
    return std::strlen(sql) <= max;
#else
    (void)sql;
    (void)max;
    return true;
#endif
}

// Walks the statement from its start to row recno; false when a step gives no row.
bool step_to_row(sqlite3_stmt* st, int recno)
{
    for (int i = 0; i <= recno; ++i) {
        if (sqlite3_step(st) != SQLITE_ROW) return false;
    }
    return true;
}

// Shared tail of the two reading operations: the statement stands on row recno and the
// column is known; copies the cell (cut) and caches it.
const char* read_cell(Dataset ds, int colcount, int col, int recno)
{
    const unsigned char* raw = sqlite3_column_text(ds->pstmt, col);
    char cell[kQueryCellMax + 1] = {};
    if (raw) copy_bounded(cell, sizeof cell, reinterpret_cast<const char*>(raw));
    sqlite3_reset(ds->pstmt);
    if (cell[0] == '\0') return g_empty_text;

    long long index = static_cast<long long>(colcount) * recno + col;
    if (index < 0 || index >= ds->count || ds->pfield == nullptr) return g_empty_text;
    if (ds->pfield[index] == nullptr) {
        ds->pfield[index] = strdup(cell);
        if (ds->pfield[index] == nullptr) return g_empty_text;
    }
    return ds->pfield[index];
}

}  // namespace

#if QUERY_SWITCH_FORM
Database Query_Connect(const char* host, const char* port, const char* name, const char* user,
                       const char* password)
{
    (void)host;
    (void)port;
    (void)user;
    (void)password;
    if (name == nullptr || std::strlen(name) > 25) return nullptr;
    std::string shown = std::string("/") + name;
    Database db = open_existing(board_path(shown));
    if (db) std::printf("open sqlite db [%s] .... success  \n", shown.c_str());
    return db;
}
#else
Database Query_Connect(const char* dbname)
{
    if (dbname == nullptr || std::strlen(dbname) > 127) return nullptr;
    return open_existing(board_path(dbname));
}
#endif

Dataset Query_Open(Database db, const char* sql)
{
    if (db == nullptr || sql == nullptr) return nullptr;
    if (!statement_fits(sql, kQueryOpenMax)) return nullptr;
    auto* ds = new _data_set{};
    if (sqlite3_prepare_v2(db, sql, -1, &ds->pstmt, nullptr) != SQLITE_OK || ds->pstmt == nullptr) {
        if (ds->pstmt) sqlite3_finalize(ds->pstmt);
        delete ds;
        return nullptr;
    }
    int rows = Query_RecCount(ds);
    int cols = Query_ColCount(ds);
    // 64-bit arithmetic on the 32-bit board too; the cache is indexed by an int.
    long long cells = static_cast<long long>(rows) * cols;
    if (cells > INT_MAX) cells = 0;
    if (cells > 0) {
        ds->pfield = static_cast<char**>(std::calloc(static_cast<std::size_t>(cells), sizeof(char*)));
        if (ds->pfield == nullptr) cells = 0;
    }
    ds->count = static_cast<int>(cells);
    return ds;
}

int Query_Execsql(Database db, const char* sql)
{
    if (db == nullptr || sql == nullptr) return -1;
    if (!statement_fits(sql, kQueryExecMax)) return -1;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK || st == nullptr) {
        if (st) sqlite3_finalize(st);
        return -1;
    }
    int rc = sqlite3_step(st);
    sqlite3_finalize(st);
    return rc == SQLITE_DONE ? 0 : -1;
}

int Query_RecCount(Dataset ds)
{
    if (ds == nullptr || ds->pstmt == nullptr) return 0;
    int rows = 0;
    while (sqlite3_step(ds->pstmt) == SQLITE_ROW) ++rows;
    sqlite3_reset(ds->pstmt);
    return rows;
}

int Query_RecCountChecked(Dataset ds)
{
    if (ds == nullptr || ds->pstmt == nullptr) return -1;
    int rows = 0;
    int rc;
    while ((rc = sqlite3_step(ds->pstmt)) == SQLITE_ROW) ++rows;
    sqlite3_reset(ds->pstmt);
    return rc == SQLITE_DONE ? rows : -1;
}

int Query_ColCount(Dataset ds)
{
    if (ds == nullptr || ds->pstmt == nullptr) return 0;
    sqlite3_step(ds->pstmt);
    int cols = sqlite3_column_count(ds->pstmt);
    sqlite3_reset(ds->pstmt);
    return cols;
}

const char* Query_Fields(Dataset ds, const char* fieldname, int recno)
{
    if (ds == nullptr || ds->pstmt == nullptr || fieldname == nullptr || recno < 0) return g_empty_text;
    if (recno >= Query_RecCount(ds)) return g_empty_text;
    if (!step_to_row(ds->pstmt, recno)) {
        sqlite3_reset(ds->pstmt);
        return nullptr;
    }
    int cols = sqlite3_column_count(ds->pstmt);
    if (cols < 1) {
        sqlite3_reset(ds->pstmt);
        return g_empty_text;
    }
    for (int c = 0; c < cols; ++c) {
        const char* name = sqlite3_column_name(ds->pstmt, c);
        if (name == nullptr) break;
        if (std::strcmp(name, fieldname) == 0) return read_cell(ds, cols, c, recno);
    }
    sqlite3_reset(ds->pstmt);
    return g_empty_text;
}

const char* Query_Fields_Index(Dataset ds, int colindex, int recno)
{
    if (ds == nullptr || ds->pstmt == nullptr || recno < 0) return g_empty_text;
    if (recno >= Query_RecCount(ds)) return g_empty_text;
    if (!step_to_row(ds->pstmt, recno)) {
        sqlite3_reset(ds->pstmt);
        return nullptr;
    }
    int cols = sqlite3_column_count(ds->pstmt);
    if (cols < 1 || colindex < 0 || colindex >= cols) {
        sqlite3_reset(ds->pstmt);
        return g_empty_text;
    }
    return read_cell(ds, cols, colindex, recno);
}

int Query_Close(Dataset pDset)
{
    if (pDset == nullptr || pDset->pstmt == nullptr) return 0;
    sqlite3_finalize(pDset->pstmt);
    if (pDset->pfield) {
        for (int i = 0; i < pDset->count; ++i) std::free(pDset->pfield[i]);
        std::free(pDset->pfield);
    }
    delete pDset;
    return 0;
}

void Query_Disconnect(Database db)
{
    if (db) sqlite3_close(db);
}

char* Query_Column_Name(Dataset ds, int colno, char* colname, std::size_t colname_size)
{
    if (ds == nullptr || ds->pstmt == nullptr || colname == nullptr) return nullptr;
    sqlite3_step(ds->pstmt);
    int cols = sqlite3_column_count(ds->pstmt);
    const char* name = (colno >= 0 && colno < cols) ? sqlite3_column_name(ds->pstmt, colno) : nullptr;
    if (name == nullptr) {
        sqlite3_reset(ds->pstmt);
        return nullptr;
    }
    copy_bounded(colname, colname_size, name);
    sqlite3_reset(ds->pstmt);
    return colname;
}

int table_column_metadata(Database pdb, const char* zTableName, const char* zColumnName,
                          char const** pzDataType, char const** pzCollSeq, int* pNotNull,
                          int* pPrimaryKey, int* pAutoinc)
{
    int rc = sqlite3_table_column_metadata(pdb, nullptr, zTableName, zColumnName, pzDataType, pzCollSeq,
                                           pNotNull, pPrimaryKey, pAutoinc);
    return rc == SQLITE_ERROR ? -1 : rc;
}

int Query_Quote(char* out, std::size_t out_size, std::string_view value)
{
    if (out == nullptr || out_size == 0) return -1;
    std::size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 >= out_size) return false;
        out[n++] = c;
        return true;
    };
    bool ok = put('\'');
    for (char c : value) {
        if (!ok) break;
        if (c == '\0') ok = false;
        else if (c == '\'') ok = put('\'') && put('\'');
        else ok = put(c);
    }
    ok = ok && put('\'');
    if (!ok) {
        out[0] = '\0';
        return -1;
    }
    out[n] = '\0';
    return static_cast<int>(n);
}
