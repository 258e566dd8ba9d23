// The durable alarm store with the real gateway: what it holds survives a
// SIGKILL, and a bad store costs neither an alarm nor the gateway's run.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "e2e/gateway_rig.h"
#include "store/store_file.h"

namespace kelvarix::e2e {
namespace {

class AlarmStoreEndToEndTest : public rig::GatewayTest {
protected:
    // (Re)starts the gateway with its store at store/alarms.db in the program
    // folder, the relative form of the key.
    void StartWithStore(int atas_port, std::string_view atas_extra) {
        if (gateway_) gateway_->Kill();  // as a crash would: nothing saved on the way out
        std::string ini = rig::RigIni(server_port_, atas_port, atas_extra);
        ini.replace(ini.find("[General]\n"), 10, "[General]\nAlarmStore=store/alarms.db\n");
        folder_.WriteFile("Kelvarix.ini", ini);
        gateway_.emplace(e2e::StartGateway(folder_));
        ASSERT_TRUE(gateway_->WaitForStdout("Kelvarix was started")) << Describe();
    }
    std::string Store() const { return folder_.Path() + "store/alarms.db"; }
};

TEST_F(AlarmStoreEndToEndTest, AcknowledgementsAfterARestartFindTheirAlarms) {
    const std::string scada = folder_.Path() + "scada.txt";
    const std::string extra = "SendMCA=1\nSCADAAckFile=" + scada;
    StartPbx({}, 0, /*keyboard=*/true);
    StartWithStore(pbx_->Port(), extra);
    ASSERT_TRUE(WaitForSessionSetUp()) << Describe();
    {
        rig::AlarmServerSocket server(server_port_);
        ASSERT_EQ(ReplyTo(server, "1|0|88|4711|2001||Fire room 12|FIRE-2"), "sent (4711)");
        ASSERT_EQ(ReplyTo(server, "1|0|90|4800|2003||Gas hall B|GAS-1"), "sent (4800)");
    }
    StartWithStore(pbx_->Port(), extra);
    ASSERT_TRUE(WaitForGatewayLine("loaded: 2 queued, 0 held back, 0 in doubt")) << Describe();
    ASSERT_TRUE(WaitForSessionSetUp()) << Describe();

    pbx_->Type("OPM\\t4711\\t2001\\t2\\tT9");
    EXPECT_TRUE(pbx_->WaitForOutput("recv: MCA<9>2001<9>\n")) << Describe();
    EXPECT_TRUE(WaitForTextInFile(scada, "FIRE-2\t4711\t88\tT9\r\n")) << Describe();
    rig::AlarmServerSocket server(server_port_);
    EXPECT_EQ(ReplyTo(server, "2|0|90|4800|2003|||GAS-1"), "sent (4800)");
    EXPECT_TRUE(pbx_->WaitForOutput("recv: DA<9>4800<9>2003\n")) << Describe();
    EXPECT_EQ(CountOf(GatewayOutput(), "Could not find AlarmId"), 0u) << Describe();
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
TEST_F(AlarmStoreEndToEndTest, ABadStoreCostsNoAlarm) {
    using Step = std::function<void(StoreFolder&)>;
    struct Bad {
        const char* name;
        bool mount;
        Step before_start, before_alarms, before_last_alarm;
        std::vector<std::string_view> log;
        int held_at_next_start;
    };
    const std::string extra = "BufferWhenDisconnected=1\nMaxBufferedMessages=10";
    const Step nothing = [](StoreFolder&) {};
    const Step valid_store = [&](StoreFolder&) {  // closed: all of it in the file itself
        StoreFile file;
        AlarmRow old;
        old.key = old.buffer_position = 1;
        ASSERT_EQ(file.Open(Store()), "");
        ASSERT_EQ(file.Write({old}), "");
    };
    sqlite3* holder = nullptr;  // another program's hold on the store
    const std::vector<Bad> cases = {
        {"not a SQLite file", false,
         [&](StoreFolder&) { folder_.WriteFile("store/alarms.db", std::string(8192, 'k')); },
         nothing, nothing,
         {"could not be read (file is not a database), set aside as ", "loaded: 0 queued"}, 3},
        {"a damaged store", false,
         [&](StoreFolder& store) {
             valid_store(store);
             std::fstream(Store(), std::ios::in | std::ios::out | std::ios::binary)
                 .seekp(4096)
                 .write(std::string(4096, '\xff').data(), 4096);
         },
         nothing, nothing,
         {"could not be read (database disk image is malformed), set aside as ",
          "loaded: 0 queued"},
         3},
        {"a store that another program holds locked", false,
         [&](StoreFolder& store) {
             valid_store(store);
             ASSERT_EQ(sqlite3_open(Store().c_str(), &holder), SQLITE_OK);
             ASSERT_EQ(sqlite3_exec(holder, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE",
                                    nullptr, nullptr, nullptr),
                       SQLITE_OK);
         },
         nothing, [&](StoreFolder&) { sqlite3_close_v2(holder); },
         {"could not be read (database is locked), left as it is"}, 1},
        {"a full disk", true, nothing,
         [](StoreFolder& store) {
             std::ofstream filler(store.path + "/filler");
             while (filler << std::string(4096, 'x')) {}
         },
         [](StoreFolder& store) { std::filesystem::remove(store.path + "/filler"); },
         {"loaded: 0 queued", "could not be written (database or disk is full)",
          "is written again"},
         3},
        {"a read-only disk", true,
         [&](StoreFolder& store) {  // as a killed gateway leaves the store
             StartWithStore(FreeLocalPort(), extra);
             rig::AlarmServerSocket server(server_port_);
             EXPECT_EQ(ReplyTo(server, "1|0|E0|OLD|2001||Fire|T0"), "buffered (OLD)");
             gateway_->Kill();
             store.Remount(MS_RDONLY);
         },
         nothing, [](StoreFolder& store) { store.Remount(0); },
         {"loaded: 0 queued, 1 held back",
          "could not be written (attempt to write a readonly database)", "is written again"},
         4},
    };
    std::string left_out;
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.name);
        StoreFolder store(folder_.Path() + "store", c.mount);
        if (c.mount && !store.mounted) {
            left_out += std::string(" ") + c.name;
            continue;
        }
        const int pbx_port = FreeLocalPort();  // nothing listens there
        c.before_start(store);
        StartWithStore(pbx_port, extra);
        c.before_alarms(store);
        rig::AlarmServerSocket server(server_port_);
        for (const std::string id : {"A1", "A2", "A3"}) {
            if (id == "A3") c.before_last_alarm(store);
            EXPECT_EQ(ReplyTo(server, "1|0|E|" + id + "|2001||Fire|T"), "buffered (" + id + ")");
        }
        EXPECT_TRUE(WaitUntil([&] { return InOrder(GatewayOutput(), c.log); })) << Describe();
        EXPECT_EQ(CountOf(GatewayOutput(), "could not be"), 1u) << Describe();
        StartWithStore(pbx_port, extra);
        EXPECT_TRUE(WaitForGatewayLine("loaded: 0 queued, " +
                                       std::to_string(c.held_at_next_start) + " held back"))
            << Describe();
        gateway_->Kill();
    }
    if (!left_out.empty()) GTEST_SKIP() << "no file system can be mounted here; left out:" << left_out;
}

}  // namespace
}  // namespace kelvarix::e2e
