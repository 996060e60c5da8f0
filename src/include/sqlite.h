// sqlite.h — the query layer both programs read their tables through.
// A Dataset is one prepared SELECT whose cells are read as text by row and column; every cell
// text handed out is a heap copy kept by the Dataset until Query_Close. The statement is
// always back at its start between calls, so one Dataset must not be read from two places.
#pragma once
#include <cstddef>
#include <string_view>

#include <sqlite3.h>

// 1 in sipswitch (connect by name under "/", statement size limits), 0 in radiogate.
#ifndef QUERY_SWITCH_FORM
#error "QUERY_SWITCH_FORM must be set by the build"
#endif

typedef sqlite3* Database;

struct _data_set {
    sqlite3_stmt* pstmt = nullptr;
    char** pfield = nullptr;  // row-major cell cache, index = columns * row + column
    int count = -1;           // rows * columns when opened
};
typedef _data_set* Dataset;

// Longest statement the switch accepts; anything longer is refused, never cut.
inline constexpr std::size_t kQueryOpenMax = 1199;
inline constexpr std::size_t kQueryExecMax = 8191;
// Longest cell text handed out.
inline constexpr std::size_t kQueryCellMax = 199;

#if QUERY_SWITCH_FORM
// Opens the existing file "/" + name (name at most 25 characters); null when it is missing.
Database Query_Connect(const char* host, const char* port, const char* name, const char* user,
                       const char* password);
#else
// Opens the existing file at dbname (at most 127 characters); null when it is missing.
Database Query_Connect(const char* dbname);
#endif

Dataset Query_Open(Database db, const char* sql);              // null on failure
int Query_Execsql(Database db, const char* sql);               // 0 done, -1 failure
const char* Query_Fields(Dataset ds, const char* fieldname, int recno);
const char* Query_Fields_Index(Dataset ds, int colindex, int recno);
int Query_RecCount(Dataset ds);
// Rows of the result like Query_RecCount, but -1 when the walk ends in anything other than
// the end of the result (a busy or broken database), so "no rows" can be told from "error".
int Query_RecCountChecked(Dataset ds);
int Query_ColCount(Dataset ds);
int Query_Close(Dataset pDset);                                // always 0
void Query_Disconnect(Database db);
char* Query_Column_Name(Dataset ds, int colno, char* colname, std::size_t colname_size);
int table_column_metadata(Database pdb, const char* zTableName, const char* zColumnName,
                          char const** pzDataType, char const** pzCollSeq, int* pNotNull,
                          int* pPrimaryKey, int* pAutoinc);

// Writes value as one SQL string literal ('...' with every quote doubled) into out, so a
// number or name that arrived from outside can never change what a statement does.
// Returns the literal's length, or -1 when it does not fit or the value holds a NUL.
int Query_Quote(char* out, std::size_t out_size, std::string_view value);
