#pragma once
// What the manager asks of the desktop and the host: its user's rights, the service, its icons,
// and the one running copy per user.

#include <QIcon>
#include <QLocalServer>
#include <QObject>
#include <QPixmap>

#include <memory>
#include <vector>

namespace tolmark::manager {

struct ManagerRights {
    bool mayChange = false;          // the user is an administrator: may change the server
    bool mayControlService = false;  // the manager runs as root: may start and stop the service
};
// The same test the control pipe applies to its peers, for this process's user.
ManagerRights currentRights();

enum class ServiceOperation { Start, Stop };
// "systemctl start|stop DOZAdadaved" without waiting for it ($TOLMARK_SYSTEMCTL replaces the
// command), after the commands chosen before it; the outcome shows at the next status poll.
void controlService(ServiceOperation operation);

// The 18 list icons (progress steps, active, ended, idle), drawn from the SVG files of the
// program's resources.
std::vector<QIcon> loadListIcons();
QIcon programIcon();
// The interface list's states (not selected, selected, trusted) and the log viewer's two line icons
// (ordinary, failure).
std::vector<QIcon> loadInterfaceIcons();
std::vector<QIcon> loadLogIcons();
QPixmap renderSvg(const QString& resource, QSize size);

// A second start of the manager hands over to the first: claim() is false when another copy
// of this user already runs (it has been asked to come to the front); otherwise this copy
// listens and emits activationRequested whenever a later copy starts.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString name, QObject* parent = nullptr);
    bool claim();
    // The channel name for this user (and control pipe, so test servers do not meet).
    static QString defaultName();

signals:
    void activationRequested();

private:
    QString name_;
    QLocalServer server_;
};

}  // namespace tolmark::manager
