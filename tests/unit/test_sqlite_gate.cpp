// The query layer in the gateway's form: a whole path, no statement limit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "board.h"
#include "sqlite.h"
#include "sqlite_fixture.h"

TEST(QueryGate, ConnectTakesAWholePathUpTo127)
{
    std::string dir = "/tmp/qgate-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    std::string good = make_fixture_db(dir + "/QVD.db");
    Database db = Query_Connect(good.c_str());
    ASSERT_NE(db, nullptr);
    std::string longsql = "select tel from softswitch" + std::string(kQueryExecMax + 10, ' ');
    Dataset ds = Query_Open(db, longsql.c_str());
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(Query_RecCount(ds), 3);
    Query_Close(ds);
    Query_Disconnect(db);

    std::string too_long = dir + "/" + std::string(128, 'x');
    EXPECT_EQ(Query_Connect(too_long.c_str()), nullptr);
    std::string missing = dir + "/none.db";
    EXPECT_EQ(Query_Connect(missing.c_str()), nullptr);
    EXPECT_NE(access(missing.c_str(), F_OK), 0);
    unlink(good.c_str());
    rmdir(dir.c_str());
}
