#pragma once
// A real Velkora for the manager's scenarios, on a private pipe name and data directory. As root
// the test runs in a network namespace of its own (enterPrivateNetwork), where the server serves
// one end of a veth pair whose other end lies in a client namespace the lab creates; busybox
// udhcpc leases addresses there.

#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "common/entry_line.h"
#include "manager/pipe/manager_pipe.h"

namespace tolmark::manager::test {

inline const QString kServerAddress = QStringLiteral("10.98.0.1");

inline bool run(const QStringList& command) {
    QProcess p;
    p.start(command.first(), command.mid(1));
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Root leaves the host's networks behind before anything else starts: the server, the DHCP
// traffic and every namespace of this test live below this process's own network namespace.
inline bool enterPrivateNetwork() { return ::geteuid() == 0 && ::unshare(CLONE_NEWNET) == 0; }

// The names of a scenario (unique per process) and the server it runs.
class ServerLab {
public:
    explicit ServerLab(bool network) : network_(network) {
        const QString tag = QString::number(QCoreApplication::applicationPid());
        pipe_ = QStringLiteral("tolmark_manager_test_%1").arg(tag);
        clientNs_ = QStringLiteral("tkmgr%1").arg(tag);
        device_ = QStringLiteral("tkm%1").arg(tag);
    }
    ~ServerLab() {
        stop();
        if (linked_) run({"ip", "netns", "del", clientNs_});
    }

    const QString& pipe() const { return pipe_; }
    QString dir() const { return dir_.path(); }
    bool network() const { return network_; }

    bool setUp() {
        if (!dir_.isValid()) return false;
        QFile registry(dir() + "/registry.ini");
        QFile config(dir() + "/Dorvane.ini");
        if (!registry.open(QIODevice::WriteOnly) || !config.open(QIODevice::WriteOnly)) return false;
        registry.write(QStringLiteral("[Dorvane]\nDirectory=%1/\n").arg(dir()).toUtf8());
        config.write(
            QStringLiteral("[Dorvane]\nProfile0=Standard\nProfile1=Lab\n"
                           "[Standard]\nInterfaceIP=%1\nBaseIP=10.98.0.100\nRange=50\nSubnetMask=255.255.255.0\n"
                           "Lease=3600\n[Lab]\nBaseIP=10.98.0.200\nRange=20\n")
                .arg(kServerAddress)
                .toUtf8());
        if (!network_) return true;
        run({"ip", "netns", "del", clientNs_});
        linked_ = run({"ip", "netns", "add", clientNs_});
        return linked_ && run({"ip", "link", "set", "lo", "up"}) &&
               run({"ip", "link", "add", device_ + "a", "type", "veth", "peer", "name", device_ + "b", "netns",
                    clientNs_}) &&
               run({"ip", "addr", "add", kServerAddress + "/24", "dev", device_ + "a"}) &&
               run({"ip", "link", "set", device_ + "a", "up"}) &&
               run({"ip", "-n", clientNs_, "link", "set", device_ + "b", "up"});
    }

    // Starts Velkora and waits until its pipe answers (and, with the network, it serves the veth).
    bool start() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TOLMARK_REGISTRY", dir() + "/registry.ini");
        env.insert("TOLMARK_PIPE", pipe_);
        server_.setProcessEnvironment(env);
        server_.setProcessChannelMode(QProcess::MergedChannels);
        // $TOLMARK_TEST_VELKORA: a copy the test's user can reach (see run_unprivileged.sh).
        const QString velkora = qEnvironmentVariable("TOLMARK_TEST_VELKORA", QStringLiteral(VELKORA_PATH));
        server_.start(velkora, {"-debug"});
        if (!server_.waitForStarted(5000)) return false;
        ManagerPipe pipe(pipe_.toStdString());
        QByteArray output;
        for (int i = 0; i < 100; ++i) {
            server_.waitForReadyRead(100);
            output += server_.readAll();
            const bool serving = !network_ || output.contains(("DHCP  Start   Server on " + kServerAddress).toUtf8());
            if (serving && pipe.getStatus(-1).ok()) return true;
        }
        qWarning("server did not start:\n%s", output.constData());
        return false;
    }
    bool running() const { return server_.state() != QProcess::NotRunning; }
    // SIGTERM: the server saves its client lists on the way out.
    void stop() {
        if (server_.state() == QProcess::NotRunning) return;
        server_.terminate();
        if (!server_.waitForFinished(10000)) server_.kill();
        server_.waitForFinished(5000);
    }

    // SIGSTOP and SIGCONT: a server that stops answering without going away.
    void pause(bool stopped) { ::kill(static_cast<pid_t>(server_.processId()), stopped ? SIGSTOP : SIGCONT); }

    // busybox udhcpc asks for an address with this hardware address; true when it got one.
    bool lease(const QString& mac) {
        return run({"ip", "-n", clientNs_, "link", "set", device_ + "b", "address", mac}) &&
               run({"ip", "netns", "exec", clientNs_, "busybox", "udhcpc", "-i", device_ + "b", "-n", "-q", "-f", "-t",
                    "3", "-T", "1", "-s", "/bin/true"});
    }
    // A lease with udhcpc asking for the extra options too; the variables its script saw on
    // "bound" (ip, router, mtu, ...), or nothing when no lease came.
    QString leaseEnvironment(const QString& mac, const QStringList& options) {
        const QString script = dir() + "/bound.sh", seen = dir() + "/bound.env";
        QFile::remove(seen);
        QFile f(script);
        if (!f.open(QIODevice::WriteOnly)) return {};
        f.write(QStringLiteral("#!/bin/sh\n[ \"$1\" = bound ] && env > %1\nexit 0\n").arg(seen).toUtf8());
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QStringList command{"ip", "netns", "exec", clientNs_, "busybox", "udhcpc", "-i", device_ + "b", "-n",
                            "-q", "-f",    "-t",   "3",       "-T",      "1",      "-s", script};
        for (const QString& o : options) command << "-O" << o;
        if (!run({"ip", "-n", clientNs_, "link", "set", device_ + "b", "address", mac}) || !run(command)) return {};
        QFile env(seen);
        return env.open(QIODevice::ReadOnly) ? QString::fromUtf8(env.readAll()) : QString();
    }
    // The server's configuration file as it is now.
    QString iniText() const {
        QFile f(dir() + "/Dorvane.ini");
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    // The same, for a client the server does not answer.
    void askUnanswered(const QString& mac) {
        run({"ip", "-n", clientNs_, "link", "set", device_ + "b", "address", mac});
        run({"ip", "netns", "exec", clientNs_, "busybox", "udhcpc", "-i", device_ + "b", "-n", "-q", "-f", "-t", "1",
             "-T", "1", "-s", "/bin/true"});
    }

private:
    bool network_;
    bool linked_ = false;
    QTemporaryDir dir_;
    QString pipe_, clientNs_, device_;
    QProcess server_;
};

inline ClientFields entry(const char* line) { return *parseEntryLine(line, false); }

}  // namespace tolmark::manager::test
