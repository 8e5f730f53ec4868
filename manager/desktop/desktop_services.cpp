#include "manager/desktop/desktop_services.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QLocalSocket>
#include <QPainter>
#include <QPointer>
#include <QProcess>
#include <QSvgRenderer>

#include <cstdlib>
#include <deque>
#include <utility>

#include "common/pipe_protocol.h"
#include "platform/administrators.h"
#include "platform/service_control.h"

// The icons are compiled into the static library; this keeps the linker from dropping them.
static void initIconResources() { Q_INIT_RESOURCE(icons); }

namespace tolmark::manager {
namespace {

constexpr int kHandoverWaitMs = 1000;

// systemctl runs one command at a time, in the order they were chosen: a Stop chosen right after
// a Start must not overtake it (two programs started side by side may run in either order).
// Lives on the window's thread; nothing waits for a command. Each process belongs to the
// application, so none outlives it.
class ServiceCommands {
public:
    void run(QString program, QStringList arguments) {
        waiting_.emplace_back(std::move(program), std::move(arguments));
        if (running_.isNull()) startNext();
    }

private:
    void startNext() {
        if (waiting_.empty()) return;
        auto [program, arguments] = std::move(waiting_.front());
        waiting_.pop_front();
        running_ = new QProcess(QCoreApplication::instance());
        QObject::connect(running_, &QProcess::finished, [this] { finish(); });
        QObject::connect(running_, &QProcess::errorOccurred, [this](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart) finish();
        });
        running_->start(program, arguments);
    }
    // Called from the process's own signal: it goes once that signal has returned.
    void finish() {
        running_->deleteLater();
        running_.clear();
        startNext();
    }

    std::deque<std::pair<QString, QStringList>> waiting_;
    QPointer<QProcess> running_;
};

}  // namespace

ManagerRights currentRights() {
    return ManagerRights{platform::userMayChange(::getuid(), ::getgid()), ::geteuid() == 0};
}

void controlService(ServiceOperation operation) {
    const char* command = std::getenv("TOLMARK_SYSTEMCTL");
    const QString program =
        command != nullptr && *command != '\0' ? QString::fromLocal8Bit(command) : QStringLiteral("systemctl");
    const QString verb = operation == ServiceOperation::Start ? QStringLiteral("start") : QStringLiteral("stop");
    static ServiceCommands commands;
    commands.run(program, {verb, QString::fromLatin1(platform::kServiceName)});
}

QPixmap renderSvg(const QString& resource, QSize size) {
    static const bool loaded = (initIconResources(), true);
    (void)loaded;
    QSvgRenderer renderer(resource);
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    if (!renderer.isValid()) return pixmap;
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

namespace {

QIcon svgIcon(const QString& resource) {
    QIcon icon;
    for (int side : {16, 24, 32, 48}) icon.addPixmap(renderSvg(resource, QSize(side, side)));
    return icon;
}

}  // namespace

std::vector<QIcon> loadListIcons() {
    std::vector<QIcon> icons;
    for (int step = 0; step < 15; ++step)
        icons.push_back(svgIcon(QStringLiteral(":/icons/progress-%1.svg").arg(step, 2, 10, QChar(u'0'))));
    icons.push_back(svgIcon(QStringLiteral(":/icons/active.svg")));
    icons.push_back(svgIcon(QStringLiteral(":/icons/ended.svg")));
    icons.push_back(svgIcon(QStringLiteral(":/icons/idle.svg")));
    return icons;
}

std::vector<QIcon> loadInterfaceIcons() {
    return {svgIcon(QStringLiteral(":/icons/iface-off.svg")), svgIcon(QStringLiteral(":/icons/iface-on.svg")),
            svgIcon(QStringLiteral(":/icons/iface-trusted.svg"))};
}

std::vector<QIcon> loadLogIcons() {
    return {svgIcon(QStringLiteral(":/icons/log-line.svg")), svgIcon(QStringLiteral(":/icons/log-error.svg"))};
}

QIcon programIcon() { return svgIcon(QStringLiteral(":/icons/dorvane.svg")); }

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_.nextPendingConnection()) {
            peer->deleteLater();
            emit activationRequested();
        }
    });
}

bool SingleInstance::claim() {
    QLocalSocket probe;
    probe.connectToServer(name_);
    if (probe.waitForConnected(kHandoverWaitMs)) {
        probe.disconnectFromServer();
        return false;
    }
    // Nobody answers: a channel left behind by a copy that crashed is taken over.
    QLocalServer::removeServer(name_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    return server_.listen(name_);
}

QString SingleInstance::defaultName() {
    return QStringLiteral("Dorvane-%1-%2").arg(::getuid()).arg(QString::fromStdString(pipeName()));
}

}  // namespace tolmark::manager
