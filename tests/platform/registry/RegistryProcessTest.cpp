#include "platform/registry/Registry.h"

#include "TempRoot.h"

#include <gmock/gmock.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <sqlite3.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace sp;

namespace {

class RegistryProcesses : public TempRoot {};

// Runs body in a child process; the child's exit status says whether it
// finished without an exception.
pid_t Spawn(const std::function<void()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int status = 0;
        try {
            body();
        } catch (...) {
            status = 1;
        }
        ::_exit(status);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

std::vector<uint8_t> Pattern(int seed, size_t size) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i)
        v[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    return v;
}

std::string IntegrityCheck(const std::filesystem::path& db) {
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    std::string result = "cannot check";
    if (sqlite3_prepare_v2(h, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        result = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    sqlite3_close(h);
    return result;
}

TEST_F(RegistryProcesses, SeveralWritersAtOnceLoseNothing) {
    constexpr int kProcesses = 4;
    constexpr int kWrites = 150;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p)
        children.push_back(Spawn([p] {
            TRegistry reg; // a connection of its own, made after the fork
            for (int i = 0; i < kWrites; ++i) {
                // Every process creates keys under the same parents, racing
                // the others: each creation reads, then writes.
                const std::string name = std::to_string(p) + "-" + std::to_string(i);
                if (!reg.OpenKey("\\Shared\\Sub" + std::to_string(i % 5) + "\\" + name, true))
                    throw std::runtime_error("open");
                reg.WriteInteger("v", static_cast<uint32_t>(i));
                if (!reg.OpenKey("\\Shared", false))
                    throw std::runtime_error("open shared");
                reg.WriteString("p" + name, name);
            }
        }));
    for (pid_t c : children) {
        const int status = Wait(c);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Shared"));
    EXPECT_EQ(reg.GetKeyNames().size(), 5u);
    EXPECT_EQ(reg.GetValueNames().size(), static_cast<size_t>(kProcesses * kWrites));
    size_t keys = 0;
    for (int k = 0; k < 5; ++k) {
        ASSERT_TRUE(reg.OpenKeyReadOnly("\\Shared\\Sub" + std::to_string(k)));
        keys += reg.GetKeyNames().size();
    }
    EXPECT_EQ(keys, static_cast<size_t>(kProcesses * kWrites));
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Shared\\Sub3\\2-148"));
    EXPECT_EQ(reg.ReadInteger("v"), 148u);
}

TEST_F(RegistryProcesses, FirstUseByManyProcessesAtOnceNeverFails) {
    // Each round a fresh database that several processes create together.
    int failures = 0;
    for (int round = 0; round < 40; ++round) {
        const std::filesystem::path db = root / ("fresh" + std::to_string(round) + ".db");
        std::vector<pid_t> children;
        for (int p = 0; p < 8; ++p)
            children.push_back(Spawn([&db, p] {
                TRegistry reg(db);
                if (!reg.OpenKey("\\Software\\P" + std::to_string(p), true))
                    throw std::runtime_error("open");
                reg.WriteInteger("v", static_cast<uint32_t>(p));
            }));
        for (pid_t c : children) {
            const int status = Wait(c);
            failures += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST_F(RegistryProcesses, AWriterWaitsForAnotherProcessInsteadOfFailing) {
    int holding[2];
    ASSERT_EQ(::pipe(holding), 0);
    const pid_t child = Spawn([&] {
        ::close(holding[0]);
        TRegistry reg;
        reg.Atomically([&] {
            if (!reg.OpenKey("\\Busy", true))
                throw std::runtime_error("open");
            reg.WriteInteger("first", 1);
            if (::write(holding[1], "x", 1) != 1)
                throw std::runtime_error("pipe");
            // Hold the write lock a while; the parent's write has to wait.
            ::usleep(300 * 1000);
        });
    });
    ::close(holding[1]);
    char c = 0;
    ASSERT_EQ(::read(holding[0], &c, 1), 1);
    ::close(holding[0]);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\Busy", true)); // waits for the child's transaction
    reg.WriteInteger("second", 2);
    EXPECT_EQ(reg.ReadInteger("first"), 1u);
    const int status = Wait(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_THAT(reg.GetValueNames(), ::testing::ElementsAre("first", "second"));
}

TEST_F(RegistryProcesses, ThreadsWithAnInstanceEachShareTheDatabase) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            try {
                TRegistry reg;
                for (int i = 0; i < 50; ++i) {
                    if (!reg.OpenKey("\\Threads", true))
                        ++failures;
                    reg.WriteInteger("t" + std::to_string(t) + "-" + std::to_string(i), 1);
                    TRegistry reader;
                    if (!reader.OpenKeyReadOnly("\\Threads") || reader.GetValueNames().empty())
                        ++failures;
                }
            } catch (const ERegistryException&) {
                ++failures;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures, 0);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Threads"));
    EXPECT_EQ(reg.GetValueNames().size(), 200u);
}

TEST_F(RegistryProcesses, KilledWriterLeavesNoHalfValue) {
    constexpr size_t kBlob = 64 * 1024;
    for (int round = 0; round < 3; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = Spawn([&] {
            ::close(ready[0]);
            TRegistry reg;
            for (int i = 0;; ++i) {
                const std::string key = "\\Burst\\R" + std::to_string(round) + "K" + std::to_string(i);
                if (i % 2 == 0) {
                    // Keys written as one transaction: all three values or none.
                    reg.Atomically([&] {
                        reg.OpenKey(key, true);
                        reg.WriteBinaryData("blob", Pattern(i, kBlob).data(), static_cast<int>(kBlob));
                        reg.WriteInteger("n", static_cast<uint32_t>(i));
                        reg.WriteString("s", "значение " + std::to_string(i));
                    });
                } else {
                    reg.OpenKey(key, true);
                    reg.WriteBinaryData("blob", Pattern(i, kBlob).data(), static_cast<int>(kBlob));
                    reg.WriteInteger("n", static_cast<uint32_t>(i));
                }
                // The parent kills after a number of writes, so the kill
                // lands in the middle of the burst, not before it.
                if (i == 10 + round * 7 && ::write(ready[1], "x", 1) != 1)
                    throw std::runtime_error("pipe");
            }
        });
        ::close(ready[1]);
        char c = 0;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        ::close(ready[0]);
        ::kill(child, SIGKILL);
        const int status = Wait(child);
        ASSERT_TRUE(WIFSIGNALED(status));

        EXPECT_EQ(IntegrityCheck(Db()), "ok");
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKeyReadOnly("\\Burst"));
        const auto keys = reg.GetKeyNames();
        int found = 0;
        for (const std::string& k : keys) {
            const std::string prefix = "R" + std::to_string(round) + "K";
            if (k.rfind(prefix, 0) != 0)
                continue;
            ++found;
            const int i = std::stoi(k.substr(prefix.size()));
            ASSERT_TRUE(reg.OpenKeyReadOnly("\\Burst\\" + k));
            if (i % 2 == 0) {
                EXPECT_EQ(reg.GetValueNames().size(), 3u) << k;
                EXPECT_EQ(reg.ReadString("s"), "значение " + std::to_string(i));
            }
            if (reg.ValueExists("blob")) {
                EXPECT_EQ(reg.ReadBinary("blob"), Pattern(i, kBlob)) << k;
            }
            if (reg.ValueExists("n")) {
                EXPECT_EQ(reg.ReadInteger("n"), static_cast<uint32_t>(i)) << k;
            }
        }
        EXPECT_GT(found, 10 + round * 7);
        // The registry takes new writes after the crash.
        ASSERT_TRUE(reg.OpenKey("\\After" + std::to_string(round), true));
        reg.WriteInteger("ok", 1);
    }
}

} // namespace
