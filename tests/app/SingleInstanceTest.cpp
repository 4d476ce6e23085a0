#include "app/SingleInstance.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace telvane {
namespace {

// What a process killed while listening leaves behind: a socket file that
// nobody accepts on.
void leaveStaleSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = path.toLocal8Bit();
    std::copy_n(bytes.constData(), std::min<qsizetype>(bytes.size(), sizeof(address.sun_path) - 1), address.sun_path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ::close(fd);
    ASSERT_TRUE(QFileInfo::exists(path));
}

class SingleInstanceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "SingleInstanceTest";
        static char* argv[] = {name, nullptr};
        static QCoreApplication application(argc, argv);
    }

    void SetUp() override
    {
        ::chmod(runtimeDir_.path().c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", runtimeDir_.path().c_str(), 1);
    }

    test::TempDir runtimeDir_;
};

TEST_F(SingleInstanceTest, SocketLivesInTheRuntimeDirectoryAndIsKeyedByStore)
{
    const QString a = SingleInstance::socketNameForStore(QStringLiteral("/home/a/.local/share/x.sqlite3"));
    const QString b = SingleInstance::socketNameForStore(QStringLiteral("/tmp/demo/x.sqlite3"));
    EXPECT_NE(a, b);
    EXPECT_EQ(a, SingleInstance::socketNameForStore(QStringLiteral("/home/a/.local/share/x.sqlite3")));
    EXPECT_EQ(SingleInstance::socketNameForStore(QString()), QStringLiteral("telvane.socket"));

    SingleInstance instance(a);
    EXPECT_EQ(instance.socketPath(), QString::fromStdString((runtimeDir_.path() / a.toStdString()).string()));
}

TEST_F(SingleInstanceTest, FirstStartServesWhateverSocketFileWasLeftBehind)
{
    struct Case {
        const char* name;
        bool staleSocket;
    };
    for (const Case& c : {Case{"nothing there", false}, Case{"socket of a killed process", true}}) {
        SCOPED_TRACE(c.name);
        SingleInstance first(QStringLiteral("telvane-test.socket"));
        if (c.staleSocket) {
            leaveStaleSocket(first.socketPath());
        }
        EXPECT_EQ(first.claim(), SingleInstance::Role::primary);
        EXPECT_TRUE(QFileInfo::exists(first.socketPath()));
    }
}

TEST_F(SingleInstanceTest, LaterStartAsksTheRunningOneToComeForward)
{
    SingleInstance first(QStringLiteral("telvane-test.socket"));
    ASSERT_EQ(first.claim(), SingleInstance::Role::primary);
    QSignalSpy activations(&first, &SingleInstance::activationRequested);

    // The later start blocks until the running one answers, so it runs on a
    // thread of its own while this one serves.
    auto second = std::async(std::launch::async, [] {
        SingleInstance instance(QStringLiteral("telvane-test.socket"));
        return instance.claim();
    });
    while (second.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(second.get(), SingleInstance::Role::secondary);
    QCoreApplication::processEvents();
    EXPECT_EQ(activations.count(), 1);
}

}  // namespace
}  // namespace telvane
