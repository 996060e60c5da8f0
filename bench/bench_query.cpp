// Cost of reading every cell of a small user table through the query layer.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <string>

#include "sqlite.h"

static void BM_ReadAllCells(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    std::string dir = "/tmp";
    std::string name = "bench_query_" + std::to_string(rows) + ".db";
    std::remove((dir + "/" + name).c_str());
    sqlite3* raw = nullptr;
    sqlite3_open((dir + "/" + name).c_str(), &raw);
    sqlite3_exec(raw, "create table softswitch (tel text, name text)", nullptr, nullptr, nullptr);
    for (int i = 0; i < rows; ++i) {
        std::string sql = "insert into softswitch values ('" + std::to_string(800 + i) + "', 'u')";
        sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_close(raw);
    setenv("BOARD_ROOT", dir.c_str(), 1);
    Database db = Query_Connect("", "", name.c_str(), "", "");
    for (auto _ : state) {
        Dataset ds = Query_Open(db, "select tel, name from softswitch");
        for (int r = 0; r < rows; ++r) benchmark::DoNotOptimize(Query_Fields(ds, "tel", r));
        Query_Close(ds);
    }
    Query_Disconnect(db);
    std::remove((dir + "/" + name).c_str());
}
BENCHMARK(BM_ReadAllCells)->Arg(10)->Arg(100)->Arg(500);
BENCHMARK_MAIN();
