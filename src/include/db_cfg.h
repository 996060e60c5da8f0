// db_cfg.h — the generic reader of radiogate's configuration tables. Each table is described by
// a table descriptor with an array of column descriptors naming the column, where its value
// goes, the destination size and how the text is converted; the reader builds the SQL,
// stores the values, prints the table as a box and reports a missing row of a keyed table.
#pragma once
#include "sqlite.h"

enum DB_TABLE_TYPE_E : int {
    E_RECORD_SINGLE = 0,  // a name/value table: one row per setting
    E_RECORD_MULTI = 1,   // a keyed table: one row per key, one column per setting
};

enum RECORD_Data_TYPE_E : int {
    E_NONE = 0,          // not read
    E_IsChar = 1,        // text
    E_IsInt = 2,         // integer
    E_NeedExchange = 3,  // integer by the column's converter
};

enum DB_PRINT_KIND_E : int { E_PRINT_TITLE_SINGLE = 0, E_PRINT_TITLE_MULTI = 1, E_PRINT_BODY = 2 };

typedef int (*DB_ChangeCallBack)(const char* text);
typedef int (*DB_UpdateCallBack)(void* unused);  // reads the values where the columns put them
typedef int (*DB_NodateCallBack)(const char* key);

struct DB_RECORD_T {
    char m_chRecordFindName[64];  // column name (keyed) or value of the name column (name/value)
    void* m_vRecordStoreAddr;     // null: not read
    int m_iRecordStoreLen;        // destination size of a text
    RECORD_Data_TYPE_E m_eRecordDataType;
    DB_ChangeCallBack m_pfuncChang;
};

struct DB_TABLE_SINGLE_RECORD_T {
    const char* m_chTableName;
    char m_chFindField[64];      // the value column
    char m_chRestrictField[64];  // the name column
    DB_RECORD_T* m_ptRecords;
    int m_iRecordNum;
    DB_UpdateCallBack m_pfuncUpdate;
    DB_NodateCallBack m_pfuncNodate;
};

struct DB_TABLE_MULTI_RECORD_T {
    const char* m_chTableName;
    char m_chMainKeyField[64];
    char m_chMainKeyValue[64];  // the key as text, rewritten before each read
    DB_RECORD_T* m_ptRecords;
    int m_iFeildNum;
    DB_UpdateCallBack m_pfuncUpdate;
    DB_NodateCallBack m_pfuncNodate;
};

union TABLE_KIND_U {
    DB_TABLE_SINGLE_RECORD_T m_sSingle;
    DB_TABLE_MULTI_RECORD_T m_sMulti;
};

struct DB_TABLE_T {
    DB_TABLE_TYPE_E m_eTableType;
    TABLE_KIND_U m_uTableContent;
};

// How long a read waits for the web program's write transaction before it gives up; its
// saves take milliseconds, and the gateway's loop stands still meanwhile.
inline constexpr int kDbBusyTimeoutMs = 100;

extern const char g_chDBFilePath[];  // "/var/www/QVD.db"
extern Database g_pDBHandler;        // null while closed

int DB_Init();  // 0, or -1
void DB_Exit();
Database DB_GetHandler();
// 0 read; -1 no connection, no descriptor, unknown type, or (keyed) a failed statement or no
// row for the key (after the no-row callback); -2 the database failed to answer (busy or
// broken): whatever was not read keeps its value, and no no-row callback runs.
int DB_Read(DB_TABLE_T* table);
// Opens a read transaction, so the tables of one reload are read as one consistent state and
// a database busy with a save is found once, before anything is read or any flag cleared.
// 0, or -1 when the database does not answer (nothing is open then).
int DB_BeginRead();
void DB_EndRead();
// Rows of a keyed table's table; -1 on any failure.
int DB_GetRecordNum(DB_TABLE_T* table);
void DB_PrintTable(const DB_TABLE_T* table);
// Stores the radio channel setting; 0 when the row was updated, -1 otherwise. Never creates
// the database file.
int DB_Update_ChannleSwitch(int value);
