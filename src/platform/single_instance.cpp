#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <algorithm>

namespace findlark {
namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr int kWriteTimeoutMs = 2000;
constexpr qsizetype kMaxRequest = 512;  // a longer request is noise, not ours
constexpr qsizetype kMaxToken = 256;
const QByteArray kShowLine = QByteArrayLiteral("show");
const QByteArray kActivateWord = QByteArrayLiteral("activate ");

// An activation token is printable ASCII without spaces; anything else is not passed on.
bool IsToken(const QByteArray& token) {
  return !token.isEmpty() && token.size() <= kMaxToken &&
         std::all_of(token.begin(), token.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

// Keeps only characters that are safe in a file name.
QString Sanitized(const QString& text) {
  QString out;
  for (const QChar c : text) {
    const bool safe = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                      (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' || c == u'.';
    out += safe ? c : QChar(u'_');
  }
  return out;
}

// $XDG_RUNTIME_DIR is private to the user. Without it, a folder of our own under the
// temporary folder, used only if it really is ours and closed to others.
QString RendezvousFolder() {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && runtime.startsWith('/') &&
      QFileInfo(QString::fromLocal8Bit(runtime)).isDir()) {
    return QString::fromLocal8Bit(runtime);
  }
  const QString dir = QDir::tempPath() + QStringLiteral("/findlark-%1").arg(::getuid());
  const QByteArray native = QFile::encodeName(dir);
  ::mkdir(native.constData(), 0700);
  struct stat st;
  if (::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
      (st.st_mode & 077) == 0) {
    return dir;
  }
  return QDir::tempPath();  // the key itself carries the user id
}

// Holds an exclusive lock on a file for as long as it lives, so that two starts at the
// same moment take turns at the check-then-listen step.
class FileLock {
 public:
  explicit FileLock(const QString& path) {
    fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                 0600);
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

// True when a running instance answered and was asked to show itself.
bool AskRunningInstance(const QString& socketPath) {
  QLocalSocket socket;
  socket.connectToServer(socketPath);
  if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
  // "show" first, alone on its line: an instance that knows nothing of tokens still shows. The
  // token lets a Wayland compositor give the window the focus the launcher gave this start.
  QByteArray request = kShowLine + '\n';
  const QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
  if (IsToken(token)) request += kActivateWord + token + '\n';
  socket.write(request);
  if (socket.bytesToWrite() > 0 && !socket.waitForBytesWritten(kWriteTimeoutMs)) return false;
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(kWriteTimeoutMs);
  return true;
}

}  // namespace

SingleInstance::SingleInstance(QString key, QObject* parent)
    : QObject(parent), key_(Sanitized(key)) {}

SingleInstance::~SingleInstance() {
  if (server_) server_->close();  // also removes the socket file
}

QString SingleInstance::DefaultKey() {
  QString display = QString::fromLocal8Bit(qgetenv("WAYLAND_DISPLAY"));
  if (display.isEmpty()) {
    display = QString::fromLocal8Bit(qgetenv("DISPLAY"));
    // ":0" and ":0.0" are the same display to us.
    const qsizetype colon = display.lastIndexOf(QLatin1Char(':'));
    const qsizetype dot = display.indexOf(QLatin1Char('.'), colon < 0 ? 0 : colon);
    if (colon >= 0 && dot > colon) display.truncate(dot);
  }
  if (display.isEmpty()) display = QStringLiteral("nodisplay");
  return QStringLiteral("findlark-%1-%2").arg(::getuid()).arg(display);
}

bool SingleInstance::Claim() {
  if (server_) return true;
  const QString folder = RendezvousFolder();
  const QString socketPath = folder + QLatin1Char('/') + key_;
  FileLock lock(socketPath + QStringLiteral(".lock"));

  if (AskRunningInstance(socketPath)) return false;

  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = server_->nextPendingConnection()) {
      // The request is complete when the other start closes its end.
      connect(client, &QLocalSocket::readyRead, client, [client] {
        if (client->bytesAvailable() > kMaxRequest) client->abort();
      });
      const auto finish = [this, client] {
        client->deleteLater();
        const QList<QByteArray> lines = client->read(kMaxRequest).split('\n');
        if (lines.size() < 2 || lines[0] != kShowLine) return;  // no complete "show" line
        QByteArray token;
        if (lines.size() > 2 && lines[1].startsWith(kActivateWord))
          token = lines[1].mid(kActivateWord.size());
        emit showRequested(IsToken(token) ? token : QByteArray());
      };
      if (client->state() == QLocalSocket::UnconnectedState) {
        finish();
      } else {
        connect(client, &QLocalSocket::disconnected, this, finish);
      }
    }
  });

  if (!server_->listen(socketPath) &&
      server_->serverError() == QAbstractSocket::AddressInUseError) {
    // Nobody answered on it: a file left behind by an instance that did not end cleanly.
    QLocalServer::removeServer(socketPath);
    server_->listen(socketPath);
  }
  // If we still cannot listen, run anyway: one window too many beats none at all.
  return true;
}

}  // namespace findlark
