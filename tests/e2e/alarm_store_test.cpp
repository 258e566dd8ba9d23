// The durable alarm store with the real gateway: what it holds survives a
// SIGKILL, and a bad store costs neither an alarm nor the gateway's run.
#include <sqlite3.h>
#include <sys/mount.h>

#include <filesystem>

#include "e2e/harness.h"
#include "store/store_file.h"

namespace kelvarix::e2e {
namespace {

// The store at store/alarms.db in the program folder (the relative form of the key).
class AlarmStoreTest : public GatewayTest {
  protected:
    AlarmStoreTest() { ini_sections_ = "[General]\nAlarmStore=store/alarms.db\n"; }
};

TEST_F(AlarmStoreTest, AcknowledgementsAfterARestartFindTheirAlarms) {
    AlarmServer before = Session({}, "SendMCA=1", /*keyboard=*/true);
    ASSERT_EQ(before.Answer("1|0|88|4711|2001||Fire room 12|FIRE-2"), "sent (4711)");
    ASSERT_EQ(before.Answer("1|0|90|4800|2003||Gas hall B|GAS-1"), "sent (4800)");
    StartGateway("SendMCA=1");  // SIGKILL: nothing saved on the way out
    ASSERT_TRUE(WaitForGatewayLine("loaded: 2 queued, 0 held back, 0 in doubt")) << Describe();
    ASSERT_TRUE(WaitForSession()) << Describe();

    pbx_->Type("OPM\\t4711\\t2001\\t2\\tT9");
    // MCA, not the DA that an acknowledgement of an unknown alarm gets.
    EXPECT_TRUE(pbx_->WaitForStdout("recv: MCA<9>2001<9>\n")) << Describe();
    EXPECT_EQ(Connect().Answer("2|0|90|4800|2003|||GAS-1"), "sent (4800)");
    EXPECT_TRUE(pbx_->WaitForStdout("recv: DA<9>4800<9>2003\n")) << Describe();
}

// The store folder, on a small file system of its own when the test may
// mount one (it takes root).
struct StoreFolder {
    StoreFolder(const std::string& path, bool mount) : path(path) {
        std::filesystem::create_directories(path);
        mounted = mount && ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=512k") == 0;
    }
    ~StoreFolder() {
        if (mounted) ::umount2(path.c_str(), MNT_DETACH);
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    void Remount(unsigned long flags) const {
        ASSERT_EQ(::mount("tmpfs", path.c_str(), "tmpfs", MS_REMOUNT | flags, "size=512k"), 0);
    }
    std::string path;
    bool mounted = false;
};

// Each bad store: what the system log says, in order, while the alarm server
// is answered "buffered" throughout (the PBX is down); then how many held-back
// alarms the next start finds.
TEST_F(AlarmStoreTest, ABadStoreCostsNoAlarm) {
    using Step = std::function<void(StoreFolder&)>;
    struct Bad {
        const char* name;
        bool mount;
        Step before_start, before_last_alarm;
        std::vector<std::string_view> log;
        int held_at_next_start;
    };
    const std::string extra = "BufferWhenDisconnected=1\nMaxBufferedMessages=10";
    sqlite3* holder = nullptr;  // another program's hold on the store
    const std::vector<Bad> cases = {
        {"not a SQLite file",
         false,
         [&](StoreFolder&) { home_.write("store/alarms.db", std::string(8192, 'k')); },
         [](StoreFolder&) {},
         {"(file is not a database), set aside as ", "loaded: 0 queued"},
         3},
        {"a store that another program holds locked",
         false,
         [&](StoreFolder&) {
             {  // a valid store, closed: all of it in the file itself
                 StoreFile file;
                 AlarmRow old;
                 old.key = old.buffer_position = 1;
                 ASSERT_EQ(file.Open(home_.path("store/alarms.db")), "");
                 ASSERT_EQ(file.Write({old}), "");
             }
             ASSERT_EQ(sqlite3_open(home_.path("store/alarms.db").c_str(), &holder), SQLITE_OK);
             ASSERT_EQ(sqlite3_exec(holder, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE",
                                    nullptr, nullptr, nullptr),
                       SQLITE_OK);
         },
         [&](StoreFolder&) { sqlite3_close_v2(holder); },
         {"(database is locked), left as it is"},
         1},
        {"a read-only disk",
         true,
         [&](StoreFolder& store) {  // as a killed gateway leaves the store
             StartGateway(extra);
             EXPECT_EQ(Connect().Answer("1|0|E0|OLD|2001||Fire|T0"), "buffered (OLD)");
             gateway_.reset();
             store.Remount(MS_RDONLY);
         },
         [](StoreFolder& store) { store.Remount(0); },
         {"loaded: 0 queued, 1 held back", "(attempt to write a readonly database)",
          "is written again"},
         4},
    };
    std::string left_out;
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.name);
        StoreFolder store(home_.path("store"), c.mount);
        if (c.mount && !store.mounted) {
            left_out += std::string(" ") + c.name;
            continue;
        }
        c.before_start(store);
        StartGateway(extra);  // no PBX listens
        AlarmServer client = Connect();
        for (const std::string id : {"A1", "A2", "A3"}) {
            if (id == "A3") c.before_last_alarm(store);
            EXPECT_EQ(client.Answer("1|0|E|" + id + "|2001||Fire|T"), "buffered (" + id + ")");
        }
        EXPECT_TRUE(WaitUntil([&] { return InOrder(gateway_->Stdout(), c.log); })) << Describe();
        EXPECT_EQ(CountOf(gateway_->Stdout(), "could not be"), 1u) << Describe();
        StartGateway(extra);
        EXPECT_TRUE(WaitForGatewayLine("loaded: 0 queued, " + std::to_string(c.held_at_next_start) +
                                       " held back"))
            << Describe();
        gateway_.reset();
    }
    if (!left_out.empty())
        GTEST_SKIP() << "no file system can be mounted here; left out:" << left_out;
}

}  // namespace
}  // namespace kelvarix::e2e
