// The gateway as a service: installation and removal from the command line,
// and a run in service mode under a stand-in service manager.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "e2e/process.h"
#include "host/ini_reader.h"

namespace kelvarix::e2e {
namespace {

constexpr std::string_view kInstalled = "Kelvarix: Quorsyn Kelvarix service service installation succeeded";
constexpr std::string_view kRemoved = "Kelvarix: Quorsyn Kelvarix service service uninstalled successfully";
constexpr std::string_view kRemoveFailed = "Kelvarix: Quorsyn Kelvarix service failed to uninstall as service";

// The service manager's end of NOTIFY_SOCKET: a datagram socket in a folder.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() >= sizeof address.sun_path) throw std::runtime_error("notify socket");
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot bind " + path);
        }
    }
    ~NotifySocket() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    const std::string& Path() const { return path_; }

    // The next message, or nothing when none came in time.
    std::optional<std::string> Receive(Duration timeout = kWait) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
        char buffer[512];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(n));
    }

private:
    std::string path_;
    int fd_ = -1;
};

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest()
        : home(GatewayIni(FreeLocalPort(), FreeLocalPort())), unit_path(units.Path() + "Kelvarix.service") {}

    // The gateway on the program folder; unit files go to the test's folder.
    ChildProcess Gateway(const std::vector<std::string>& arguments, EnvironmentOverrides extra = {}) {
        extra.emplace_back("KELVARIX_HOME", home.Path());
        extra.emplace_back("KELVARIX_UNIT_DIR", units.Path());
        return ChildProcess(BuiltBinary("kelvarix"), arguments, extra);
    }
    // Runs a switch to its end; the status and both outputs.
    ChildProcess RunSwitch(const std::string& option) {
        ChildProcess run = Gateway({option});
        const std::optional<ExitStatus> status = run.WaitForExit();
        EXPECT_TRUE(status.has_value()) << run.Describe();
        last_status = status.value_or(ExitStatus{});
        return run;
    }
    std::string StoredRunAsService() const {
        return IniFile::parse(ReadFile(home.Path() + "KelvarixService.ini"))
            .get("Parameters", "RunAsService", "(none)");
    }
    void Install() {
        const ChildProcess run = RunSwitch("-install");
        ASSERT_EQ(last_status, ExitedWith(0)) << run.Describe();
    }

    TempProgramFolder home;
    TempProgramFolder units;
    const std::string unit_path;
    ExitStatus last_status;
};

TEST_F(ServiceTest, InstallWritesTheUnitStoresTheSettingAndStartsNothing) {
    const ChildProcess run = RunSwitch("/i");
    EXPECT_EQ(last_status, ExitedWith(0)) << run.Describe();
    EXPECT_EQ(run.Stderr(), std::string(kInstalled) + "\n");
    EXPECT_EQ(run.Stdout(), "");

    const std::string unit = ReadFile(unit_path);
    const std::string program = std::filesystem::canonical(BuiltBinary("kelvarix")).string();
    std::string folder = home.Path();
    folder.pop_back();
    const std::vector<std::string> expected = {
        "Description=Quorsyn Kelvarix service", "Type=notify", "ExecStart=\"" + program + "\"",
        "WorkingDirectory=" + folder, "Environment=\"KELVARIX_HOME=" + folder + "\"",
        "WantedBy=multi-user.target"};
    for (const std::string& line : expected) {
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << " in\n" << unit;
    }
    EXPECT_EQ(StoredRunAsService(), "1");
    EXPECT_TRUE(home.SystemLogNames().empty()) << home.SystemLog();
}

TEST_F(ServiceTest, InstalledGatewayRunsAsAServiceUnderItsManager) {
    Install();
    NotifySocket manager(home.Path() + "notify.sock");
    ChildProcess service = Gateway({}, {{"NOTIFY_SOCKET", manager.Path()}});
    EXPECT_EQ(manager.Receive(), "READY=1") << service.Describe();
    EXPECT_TRUE(home.WaitForSystemLog("Kelvarix was started")) << service.Describe();

    // The service manager stops it with SIGTERM: close mode 1.
    ASSERT_TRUE(service.Signal(SIGTERM));
    EXPECT_EQ(manager.Receive(), "STOPPING=1") << service.Describe();
    EXPECT_EQ(service.WaitForExit(), ExitedWith(0)) << service.Describe();
    EXPECT_TRUE(InOrder(home.SystemLog(), {"Kelvarix was started", "Kelvarix was stopped (reason: By Code)"}))
        << home.SystemLog();
    EXPECT_EQ(service.Stdout(), "");
    EXPECT_EQ(service.Stderr(), "");
}

TEST_F(ServiceTest, SecondServiceInstanceShowsNoMessageBox) {
    Install();
    ChildProcess first = Gateway({});
    ASSERT_TRUE(home.WaitForSystemLog("Kelvarix was started")) << first.Describe();

    ChildProcess second = Gateway({});
    const std::optional<ExitStatus> status = second.WaitForExit();
    ASSERT_TRUE(status.has_value()) << second.Describe();
    EXPECT_NE(status->code, 0);
    EXPECT_EQ(second.Stderr(), "");
    EXPECT_EQ(second.Stdout(), "");
    EXPECT_NE(home.SystemLog().find("Kelvarix was stopped (reason: By Code)"), std::string::npos);
    EXPECT_TRUE(first.Running());
}

TEST_F(ServiceTest, RemovalReturnsToWindowModeAndFailsWhenNothingIsInstalled) {
    Install();
    const ChildProcess removal = RunSwitch("-U");
    EXPECT_EQ(last_status, ExitedWith(0)) << removal.Describe();
    EXPECT_EQ(removal.Stderr(), std::string(kRemoved) + "\n");
    EXPECT_FALSE(std::filesystem::exists(unit_path));
    EXPECT_EQ(StoredRunAsService(), "0");

    const ChildProcess again = RunSwitch("-uninstall");
    EXPECT_TRUE(last_status.exited && last_status.code != 0) << again.Describe();
    EXPECT_EQ(again.Stderr(), std::string(kRemoveFailed) + "\n");
    EXPECT_EQ(StoredRunAsService(), "0");
    EXPECT_TRUE(home.SystemLogNames().empty()) << home.SystemLog();

    // A window again: the lines reach standard output, and SIGTERM is
    // another program's close.
    ChildProcess window = Gateway({});
    ASSERT_TRUE(window.WaitForStdout("Kelvarix was started")) << window.Describe();
    ASSERT_TRUE(window.Signal(SIGTERM));
    EXPECT_EQ(window.WaitForExit(), ExitedWith(0)) << window.Describe();
    EXPECT_NE(home.SystemLog().find("Kelvarix was stopped (reason: Task Manager closed application)"),
              std::string::npos);
}

}  // namespace
}  // namespace kelvarix::e2e
