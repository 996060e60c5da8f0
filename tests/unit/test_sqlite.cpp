// The query layer in its switch form: connect by name under the board root, size limits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "board.h"
#include "sqlite.h"
#include "sqlite_fixture.h"

namespace {

class Query : public ::testing::Test {
protected:
    void SetUp() override
    {
        make_fixture_db(board_path("/qtest.db"));
        db = Query_Connect("", "", "qtest.db", "", "");
        ASSERT_NE(db, nullptr);
    }
    void TearDown() override { Query_Disconnect(db); }
    Database db = nullptr;
};

}  // namespace

TEST_F(Query, RowsColumnsAndCells)
{
    Dataset ds = Query_Open(db, "select tel, name, status, note from softswitch order by tel");
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(Query_RecCount(ds), 3);
    EXPECT_EQ(Query_ColCount(ds), 4);
    EXPECT_EQ(ds->count, 12);

    struct Case { const char* col; int row; std::string want; };
    const Case cases[] = {
        {"tel", 0, "801"}, {"name", 1, "beta"}, {"status", 0, "5"},
        {"note", 0, ""},                      // empty text
        {"note", 1, ""},                      // NULL
        {"name", 2, std::string(199, 'n')},   // cut at 199
        {"TEL", 0, ""},                       // names compare case-sensitively
        {"tel", 3, ""},                       // past the last row
        {"tel", -1, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Query_Fields(ds, c.col, c.row), c.want) << c.col << " " << c.row;
    EXPECT_STREQ(Query_Fields_Index(ds, 1, 0), "alpha");
    EXPECT_STREQ(Query_Fields_Index(ds, 4, 0), "");
    EXPECT_STREQ(Query_Fields_Index(ds, -1, 0), "");
    // Empty and NULL cells are not cached.
    EXPECT_EQ(ds->pfield[0 * 4 + 3], nullptr);
    EXPECT_EQ(ds->pfield[1 * 4 + 3], nullptr);
    char name[32];
    EXPECT_STREQ(Query_Column_Name(ds, 2, name, sizeof name), "status");
    EXPECT_EQ(Query_Column_Name(ds, 4, name, sizeof name), nullptr);
    EXPECT_EQ(Query_Column_Name(ds, -1, name, sizeof name), nullptr);
    EXPECT_EQ(Query_Column_Name(ds, INT_MAX, name, sizeof name), nullptr);   // no overflow on the way
    EXPECT_EQ(Query_Close(ds), 0);
}

TEST_F(Query, FirstReadOfACellIsKept)
{
    Dataset ds = Query_Open(db, "select tel, name from softswitch where tel='801'");
    ASSERT_NE(ds, nullptr);
    const char* first = Query_Fields(ds, "name", 0);
    EXPECT_STREQ(first, "alpha");
    ASSERT_EQ(Query_Execsql(db, "update softswitch set name='gamma' where tel='801'"), 0);
    EXPECT_EQ(Query_Fields(ds, "name", 0), first);
    EXPECT_STREQ(Query_Fields(ds, "name", 0), "alpha");
    Query_Close(ds);
}

TEST_F(Query, EmptyResultsAndFailures)
{
    Dataset none = Query_Open(db, "select tel from softswitch where tel='999'");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->count, 0);
    EXPECT_STREQ(Query_Fields(none, "tel", 0), "");
    Query_Close(none);

    EXPECT_EQ(Query_Open(db, "select nonsense from"), nullptr);
    EXPECT_EQ(Query_Open(nullptr, "select 1"), nullptr);
    EXPECT_EQ(Query_Execsql(nullptr, "select 1"), -1);
    EXPECT_EQ(Query_Execsql(db, "update softswitch set status=0 where tel='nobody'"), 0);
    EXPECT_EQ(Query_Execsql(db, "select tel from softswitch"), -1);
    EXPECT_EQ(Query_Execsql(db, "garbage"), -1);
    EXPECT_EQ(Query_Close(nullptr), 0);
    EXPECT_EQ(Query_RecCount(nullptr), 0);
    EXPECT_EQ(Query_ColCount(nullptr), 0);
    EXPECT_STREQ(Query_Fields(nullptr, "tel", 0), "");
    Query_Disconnect(nullptr);
}

TEST_F(Query, OverlongStatementsAreRefusedNotCut)
{
    // Cut at the limit this would become "... where tel='801'", a different statement.
    std::string pad(kQueryExecMax, ' ');
    std::string update = "update softswitch set status=9 where tel='801'" + pad + "or 1=1";
    EXPECT_EQ(Query_Execsql(db, update.c_str()), -1);
    std::string select = "select tel from softswitch" + std::string(kQueryOpenMax, ' ');
    EXPECT_EQ(Query_Open(db, select.c_str()), nullptr);
    std::string fits = "select tel from softswitch";
    fits.resize(kQueryOpenMax, ' ');
    Dataset ds = Query_Open(db, fits.c_str());
    EXPECT_NE(ds, nullptr);
    Query_Close(ds);
    Dataset st = Query_Open(db, "select sum(status) from softswitch");
    EXPECT_STREQ(Query_Fields_Index(st, 0, 0), "6");
    Query_Close(st);
}

TEST_F(Query, QuotedValuesCannotChangeAStatement)
{
    char lit[64];
    ASSERT_GT(Query_Quote(lit, sizeof lit, "1' or '1'='1"), 0);
    EXPECT_STREQ(lit, "'1'' or ''1''=''1'");
    std::string sql = std::string("select tel from softswitch where tel=") + lit;
    Dataset ds = Query_Open(db, sql.c_str());
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(Query_RecCount(ds), 0);
    Query_Close(ds);

    EXPECT_EQ(Query_Quote(lit, 4, "ab"), -1);  // "'ab'" needs 5 bytes
    EXPECT_EQ(Query_Quote(lit, 5, "ab"), 4);
    EXPECT_EQ(Query_Quote(lit, sizeof lit, std::string_view("a\0b", 3)), -1);
}

TEST(QueryConnect, SwitchFormNamesAFileUnderTheRoot)
{
    std::string n25(25, 'a'), n26(26, 'a');
    make_fixture_db(board_path("/" + n25));
    Database db = Query_Connect("h", "p", n25.c_str(), "u", "pw");
    EXPECT_NE(db, nullptr);
    Query_Disconnect(db);
    make_fixture_db(board_path("/" + n26));
    EXPECT_EQ(Query_Connect("h", "p", n26.c_str(), "u", "pw"), nullptr);
    EXPECT_EQ(Query_Connect("h", "p", "missing.db", "u", "pw"), nullptr);
    EXPECT_NE(access(board_path("/missing.db").c_str(), F_OK), 0);
    EXPECT_EQ(Query_Connect("h", "p", nullptr, "u", "pw"), nullptr);
}
