#include "db_cfg.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "board.h"
#include "text.h"

const char g_chDBFilePath[] = "/var/www/QVD.db";
Database g_pDBHandler = nullptr;

namespace {

constexpr char kMaskedPassword[] = "******";

// Columns holding a password (REG_PWD, GW_REG_PWD).
bool Static_IsPassword(const char* column)
{
    std::string_view name(column);
    return name.size() >= 3 && name.substr(name.size() - 3) == "PWD";
}

constexpr int kSqlMax = 256;
constexpr int kReadOk = 0;
constexpr int kReadNoRow = -1;
constexpr int kReadFailed = -2;

// atoi's reading (blanks, sign, digits up to the first other character) with an out-of-range
// number held at the nearest int instead of wrapping.
int Static_Atoi(const char* text)
{
    long long v = std::strtoll(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// A busy or locked database: the web program is writing. Anything else is a real failure of
// the statement (a missing table or column).
bool Static_DbBusy()
{
    int rc = g_pDBHandler ? (sqlite3_errcode(g_pDBHandler) & 0xff) : SQLITE_OK;
    return rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
}

void Static_Store(const DB_RECORD_T& col, const char* cell)
{
    switch (col.m_eRecordDataType) {
    case E_IsChar:
        if (col.m_iRecordStoreLen > 0)
            copy_bounded(static_cast<char*>(col.m_vRecordStoreAddr), static_cast<std::size_t>(col.m_iRecordStoreLen), cell);
        break;
    case E_IsInt: {
        int v = Static_Atoi(cell);
        std::memcpy(col.m_vRecordStoreAddr, &v, sizeof v);
        break;
    }
    case E_NeedExchange: {
        int v = col.m_pfuncChang ? col.m_pfuncChang(cell) : -1;
        std::memcpy(col.m_vRecordStoreAddr, &v, sizeof v);
        break;
    }
    default:
        break;
    }
}

// Builds "select <column> from <table> where <field> = '<value>';"; false when it does not fit.
bool Static_SelectSql(char (&sql)[kSqlMax], const char* column, const char* table, const char* field,
                      const char* value)
{
    char literal[kSqlMax];
    if (Query_Quote(literal, sizeof literal, value) < 0) return false;
    int n = std::snprintf(sql, sizeof sql, "select %s from %s where %s = %s;", column, table, field, literal);
    return n > 0 && n < kSqlMax;
}

// Reads the first cell of the statement into the column's destination. A statement that
// cannot be prepared skips the column; a database that fails to answer ends the table read.
int Static_ReadColumn(const DB_RECORD_T& col, const char* sql)
{
    Dataset ds = Query_Open(g_pDBHandler, sql);
    if (ds == nullptr) {
        std::fprintf(stderr, "Excute SQL command %s failed\n", sql);
        return Static_DbBusy() ? kReadFailed : kReadOk;
    }
    int rows = Query_RecCountChecked(ds);
    const char* cell = rows < 0 ? nullptr : rows == 0 ? "" : Query_Fields_Index(ds, 0, 0);
    // An empty cell from a result that has rows is checked once more: the cell reader takes
    // a failed walk for "no rows" and answers with the empty text.
    if (cell != nullptr && rows > 0 && cell[0] == '\0' && Query_RecCountChecked(ds) < 0) cell = nullptr;
    if (cell == nullptr) {
        std::fprintf(stderr, "Query_Fields_Index return NULL\n");
        Query_Close(ds);
        return kReadFailed;
    }
    Static_Store(col, cell);
    Query_Close(ds);
    return kReadOk;
}

int Static_ReadSingle(DB_TABLE_SINGLE_RECORD_T& t)
{
    for (int i = 0; i < t.m_iRecordNum; ++i) {
        const DB_RECORD_T& col = t.m_ptRecords[i];
        if (col.m_eRecordDataType == E_NONE) continue;
        if (col.m_vRecordStoreAddr == nullptr) {
            std::fprintf(stderr, "Address is NULL to assign %s\n", col.m_chRecordFindName);
            continue;
        }
        char sql[kSqlMax];
        if (!Static_SelectSql(sql, t.m_chFindField, t.m_chTableName, t.m_chRestrictField, col.m_chRecordFindName)) {
            std::fprintf(stderr, "Excute SQL command %s failed\n", col.m_chRecordFindName);
            continue;
        }
        if (Static_ReadColumn(col, sql) == kReadFailed) return kReadFailed;
    }
    return kReadOk;
}

int Static_ReadMulti(DB_TABLE_MULTI_RECORD_T& t)
{
    char sql[kSqlMax];
    if (!Static_SelectSql(sql, "*", t.m_chTableName, t.m_chMainKeyField, t.m_chMainKeyValue)) {
        std::fprintf(stderr, "Excute SQL command %s failed\n", t.m_chTableName);
        return kReadNoRow;
    }
    Dataset ds = Query_Open(g_pDBHandler, sql);
    if (ds == nullptr) {
        std::fprintf(stderr, "Excute SQL command %s failed\n", sql);
        return Static_DbBusy() ? kReadFailed : kReadNoRow;
    }
    int rows = Query_RecCountChecked(ds);
    Query_Close(ds);
    if (rows < 0) return kReadFailed;
    // Only a clean empty answer means the row is gone; the callback may delete the line.
    if (rows == 0) {
        if (t.m_pfuncNodate) t.m_pfuncNodate(t.m_chMainKeyValue);
        return kReadNoRow;
    }
    for (int i = 0; i < t.m_iFeildNum; ++i) {
        const DB_RECORD_T& col = t.m_ptRecords[i];
        if (col.m_eRecordDataType == E_NONE) continue;
        if (col.m_vRecordStoreAddr == nullptr) {
            std::fprintf(stderr, "Address is NULL to assign %s \n", col.m_chRecordFindName);
            continue;
        }
        if (!Static_SelectSql(sql, col.m_chRecordFindName, t.m_chTableName, t.m_chMainKeyField, t.m_chMainKeyValue)) {
            std::fprintf(stderr, "Excute SQL command %s failed\n", col.m_chRecordFindName);
            continue;
        }
        if (Static_ReadColumn(col, sql) == kReadFailed) return kReadFailed;
    }
    return kReadOk;
}

void Static_PrintRule(char joint, int left, int right)
{
    std::string line = "|" + std::string(left, '-') + (right ? std::string(1, joint) + std::string(right, '-') : "") + "|\n";
    std::fputs(line.c_str(), stdout);
}

// A connection and a descriptor to read with; says which is missing.
bool Static_Ready(const DB_TABLE_T* table)
{
    if (g_pDBHandler == nullptr) {
        std::fprintf(stderr, "Init DB first\n");
        return false;
    }
    if (table == nullptr) {
        std::fprintf(stderr, "db_table == NULL\n");
        return false;
    }
    return true;
}

}  // namespace

int DB_Init()
{
    g_pDBHandler = Query_Connect(g_chDBFilePath);
    if (g_pDBHandler == nullptr) {
        std::fprintf(stderr, "DB %s open error , check db file\n", g_chDBFilePath);
        return -1;
    }
    // The web program writes the same file; a read waits a little for its transaction
    // instead of failing at once.
    sqlite3_busy_timeout(g_pDBHandler, kDbBusyTimeoutMs);
    return 0;
}

void DB_Exit()
{
    if (g_pDBHandler) Query_Disconnect(g_pDBHandler);
    g_pDBHandler = nullptr;
}

Database DB_GetHandler() { return g_pDBHandler; }

int DB_Read(DB_TABLE_T* table)
{
    if (!Static_Ready(table)) return -1;
    switch (table->m_eTableType) {
    case E_RECORD_SINGLE:
        return Static_ReadSingle(table->m_uTableContent.m_sSingle);
    case E_RECORD_MULTI:
        return Static_ReadMulti(table->m_uTableContent.m_sMulti);
    default:
        std::fprintf(stderr, "db_table->Table_Type unknow\n");
        return -1;
    }
}

int DB_BeginRead()
{
    if (g_pDBHandler == nullptr || Query_Execsql(g_pDBHandler, "BEGIN;") != 0) return -1;
    // The first read of a transaction takes the database's shared lock; a save in progress
    // makes it wait, then fail.
    Dataset ds = Query_Open(g_pDBHandler, "SELECT count(*) FROM sqlite_master;");
    int rows = ds ? Query_RecCountChecked(ds) : -1;
    Query_Close(ds);
    if (rows < 0) {
        Query_Execsql(g_pDBHandler, "ROLLBACK;");
        return -1;
    }
    return 0;
}

void DB_EndRead()
{
    if (g_pDBHandler && Query_Execsql(g_pDBHandler, "COMMIT;") != 0) Query_Execsql(g_pDBHandler, "ROLLBACK;");
}

int DB_GetRecordNum(DB_TABLE_T* table)
{
    if (!Static_Ready(table)) return -1;
    if (table->m_eTableType != E_RECORD_MULTI) {
        std::fprintf(stderr, "function do not support this table type\n");
        return -1;
    }
    char sql[kSqlMax];
    std::snprintf(sql, sizeof sql, "select * from %s ;", table->m_uTableContent.m_sMulti.m_chTableName);
    Dataset ds = Query_Open(g_pDBHandler, sql);
    if (ds == nullptr) {
        std::fprintf(stderr, "Excute SQL command %s failed\n", sql);
        return -1;
    }
    int rows = Query_RecCountChecked(ds);
    Query_Close(ds);
    if (rows < 0) std::fprintf(stderr, "Excute SQL command %s failed\n", sql);
    return rows;
}

void DB_PrintTable(const DB_TABLE_T* table)
{
    if (table == nullptr) return;
    const DB_RECORD_T* cols;
    int ncols;
    char title[81];
    if (table->m_eTableType == E_RECORD_SINGLE) {
        const auto& t = table->m_uTableContent.m_sSingle;
        copy_text(title, t.m_chTableName ? t.m_chTableName : "");
        cols = t.m_ptRecords;
        ncols = t.m_iRecordNum;
    } else {
        const auto& t = table->m_uTableContent.m_sMulti;
        std::string text = std::string(t.m_chTableName ? t.m_chTableName : "") + " [" + t.m_chMainKeyField + " = " +
                           t.m_chMainKeyValue + "]";
        copy_text(title, text);
        cols = t.m_ptRecords;
        ncols = t.m_iFeildNum;
    }
    Static_PrintRule('-', 59, 0);
    std::printf("|%30s%29s|\n", title, " ");
    Static_PrintRule('-', 59, 0);
    for (int i = 0; cols && i < ncols; ++i) {
        const DB_RECORD_T& col = cols[i];
        if (col.m_vRecordStoreAddr == nullptr || col.m_eRecordDataType == E_NONE) continue;
        char value[64];
        if (col.m_eRecordDataType == E_IsChar && Static_IsPassword(col.m_chRecordFindName)) {
            // The console is often a pipe to a log collector: a password is only shown as set.
            copy_text(value, *static_cast<const char*>(col.m_vRecordStoreAddr) ? kMaskedPassword : "");
        } else if (col.m_eRecordDataType == E_IsChar) {
            copy_text(value, static_cast<const char*>(col.m_vRecordStoreAddr));
        } else {
            int v;
            std::memcpy(&v, col.m_vRecordStoreAddr, sizeof v);
            std::snprintf(value, sizeof value, "%d", v);
        }
        std::printf("| %-28s| %-28s|\n", col.m_chRecordFindName, value);
        Static_PrintRule('+', 29, 29);
    }
    std::printf("\n");
}

int DB_Update_ChannleSwitch(int value)
{
    char sql[128];
    std::snprintf(sql, sizeof sql, "UPDATE TB_INI SET M_VALUE=%d WHERE M_NAME='CHANNEL_SWITCH';", value);
    std::string path = board_path(g_chDBFilePath);
    sqlite3* db = nullptr;
    // Read/write without create: a missing database stays missing.
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        std::printf("UPDATE CHANNEL_SWITCH error ,DB name:%s, table:TB_INI, check db file\n", g_chDBFilePath);
        return -1;
    }
    sqlite3_busy_timeout(db, kDbBusyTimeoutMs);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
        sqlite3_finalize(st);
        sqlite3_close(db);
        std::printf("UPDATE CHANNEL_SWITCH sqlite3_prepare error\n");
        return -1;
    }
    int rc = sqlite3_step(st);
    int changed = sqlite3_changes(db);
    sqlite3_finalize(st);
    sqlite3_close(db);
    if (rc != SQLITE_DONE) {
        std::printf("UPDATE CHANNEL_SWITCH sqlite3_step error\n");
        return -1;
    }
    if (changed == 0) {
        std::printf("UPDATE CHANNEL_SWITCH error ,DB name:%s, table:TB_INI, check db file\n", g_chDBFilePath);
        return -1;
    }
    return 0;
}
