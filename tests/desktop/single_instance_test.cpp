#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

using findlark::SingleInstance;

namespace {

// Leaves a socket file that nobody listens on, as a killed instance does.
bool MakeDeadSocket(const QString& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const QByteArray native = QFile::encodeName(path);
  if (native.size() >= static_cast<qsizetype>(sizeof(addr.sun_path))) return false;
  memcpy(addr.sun_path, native.constData(), native.size());
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

std::unique_ptr<QProcess> StartChild(const QString& key) {
  auto child = std::make_unique<QProcess>();
  child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  child->start(QStringLiteral(SINGLE_INSTANCE_CHILD), {key});
  return child;
}

QByteArray ReadVerdict(QProcess& child) {
  while (!child.canReadLine()) {
    if (!child.waitForReadyRead(30000)) return "no answer";
  }
  return child.readLine().trimmed();
}

}  // namespace

class SingleInstanceTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(runtime_.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.path()));
  }

  void secondInstanceInSameProcessAsksTheFirstToShow() {
    SingleInstance first(QStringLiteral("same-process"));
    QSignalSpy shown(&first, &SingleInstance::showRequested);
    QVERIFY(first.Claim());
    SingleInstance second(QStringLiteral("same-process"));
    QVERIFY(!second.Claim());
    QVERIFY(shown.wait(10000));
    QCOMPARE(shown.count(), 1);
  }

  void secondStartInAnotherProcessAsksTheFirstToShow() {
    SingleInstance first(QStringLiteral("other-process"));
    QSignalSpy shown(&first, &SingleInstance::showRequested);
    QVERIFY(first.Claim());
    auto child = StartChild(QStringLiteral("other-process"));
    QVERIFY(child->waitForStarted());
    child->write("go\n");
    QCOMPARE(ReadVerdict(*child), QByteArray("lost"));
    child->closeWriteChannel();
    QVERIFY(child->waitForFinished());
    QVERIFY(shown.wait(10000));
    QCOMPARE(shown.count(), 1);
  }

  void nextStartClaimsAfterTheFirstHasEnded() {
    {
      SingleInstance first(QStringLiteral("ended"));
      QVERIFY(first.Claim());
    }
    SingleInstance next(QStringLiteral("ended"));
    QVERIFY(next.Claim());
  }

  void leftoverRendezvousIsTakenOver_data() {
    QTest::addColumn<bool>("socket");
    QTest::newRow("socket file nobody listens on") << true;
    QTest::newRow("plain file in its place") << false;
  }
  void leftoverRendezvousIsTakenOver() {
    QFETCH(bool, socket);
    const QString key = socket ? QStringLiteral("stale-socket") : QStringLiteral("stale-file");
    const QString path = runtime_.filePath(key);
    if (socket) {
      QVERIFY(MakeDeadSocket(path));
    } else {
      QFile file(path);
      QVERIFY(file.open(QIODevice::WriteOnly));
    }
    SingleInstance first(key);
    QSignalSpy shown(&first, &SingleInstance::showRequested);
    QVERIFY(first.Claim());
    // The takeover really listens: a later start finds it.
    SingleInstance second(key);
    QVERIFY(!second.Claim());
    QVERIFY(shown.wait(10000));
  }

  void startsAtTheSameMomentGiveOneWinner() {
    for (int round = 0; round < 5; ++round) {
      const QString key = QStringLiteral("race-%1").arg(round);
      std::vector<std::unique_ptr<QProcess>> children;
      for (int i = 0; i < 3; ++i) children.push_back(StartChild(key));
      for (auto& child : children) QVERIFY(child->waitForStarted());
      for (auto& child : children) child->write("go\n");
      int winners = 0;
      for (auto& child : children) {
        const QByteArray verdict = ReadVerdict(*child);
        QVERIFY2(verdict == "won" || verdict == "lost", verdict.constData());
        winners += verdict == "won";
      }
      QCOMPARE(winners, 1);
      for (auto& child : children) {
        child->closeWriteChannel();
        QVERIFY(child->waitForFinished());
      }
    }
  }

  // Another start is between its check and its listen (it holds the lock beside the
  // socket): a new start must wait for it rather than find nobody and listen too. The
  // two-second window only gives a faulty start the chance to answer early; a correct
  // one cannot answer before the lock is released.
  void startWaitsForAnotherMidClaim() {
    const QString key = QStringLiteral("mid-claim");
    const int fd = ::open(QFile::encodeName(runtime_.filePath(key + QStringLiteral(".lock"))),
                          O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX), 0);
    auto child = StartChild(key);
    QVERIFY(child->waitForStarted());
    child->write("go\n");
    const bool answeredEarly = child->waitForReadyRead(2000);
    QLocalServer other;
    QVERIFY(other.listen(runtime_.filePath(key)));
    ::close(fd);
    QVERIFY2(!answeredEarly, child->readAll().constData());
    QCOMPARE(ReadVerdict(*child), QByteArray("lost"));
    child->closeWriteChannel();
    QVERIFY(child->waitForFinished());
  }

  // Without $XDG_RUNTIME_DIR the socket goes into a folder of our own under the temporary
  // folder, but only into one that nobody else can enter.
  void withoutRuntimeFolderUsesAPrivateTempFolder_data() {
    QTest::addColumn<int>("presetMode");  // -1: the folder does not exist yet
    QTest::addColumn<bool>("usesOwnFolder");
    QTest::newRow("created") << -1 << true;
    QTest::newRow("already there and private") << 0700 << true;
    QTest::newRow("open to others") << 0777 << false;
  }
  void withoutRuntimeFolderUsesAPrivateTempFolder() {
    QFETCH(int, presetMode);
    QFETCH(bool, usesOwnFolder);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString own = tmp.filePath(QStringLiteral("findlark-%1").arg(::getuid()));
    if (presetMode >= 0) {
      QVERIFY(QDir().mkdir(own));
      QCOMPARE(::chmod(QFile::encodeName(own).constData(), presetMode), 0);
    }
    const QByteArray savedTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    qunsetenv("XDG_RUNTIME_DIR");
    SingleInstance instance(QStringLiteral("fallback"));
    const bool claimed = instance.Claim();
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.path()));
    savedTmp.isEmpty() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", savedTmp);
    QVERIFY(claimed);
    const QString folder = usesOwnFolder ? own : tmp.path();
    QVERIFY(QFileInfo::exists(folder + QStringLiteral("/fallback")));
    QCOMPARE(QFileInfo::exists(own + QStringLiteral("/fallback")), usesOwnFolder);
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(own).constData(), &st), 0);
    if (usesOwnFolder) QCOMPARE(int(st.st_mode & 0777), 0700);
  }

  void defaultKeyNamesUserAndDisplay_data() {
    QTest::addColumn<QByteArray>("wayland");
    QTest::addColumn<QByteArray>("x11");
    QTest::addColumn<QString>("display");
    QTest::newRow("x11") << QByteArray() << QByteArray(":1") << QStringLiteral(":1");
    QTest::newRow("x11 with screen")
        << QByteArray() << QByteArray("host:1.0") << QStringLiteral("host:1");
    QTest::newRow("wayland wins") << QByteArray("wayland-0") << QByteArray(":1")
                                  << QStringLiteral("wayland-0");
    QTest::newRow("none") << QByteArray() << QByteArray() << QStringLiteral("nodisplay");
  }
  void defaultKeyNamesUserAndDisplay() {
    QFETCH(QByteArray, wayland);
    QFETCH(QByteArray, x11);
    QFETCH(QString, display);
    const QByteArray savedWayland = qgetenv("WAYLAND_DISPLAY");
    const QByteArray savedX11 = qgetenv("DISPLAY");
    auto set = [](const char* name, const QByteArray& value) {
      value.isEmpty() ? qunsetenv(name) : qputenv(name, value);
    };
    set("WAYLAND_DISPLAY", wayland);
    set("DISPLAY", x11);
    const QString key = SingleInstance::DefaultKey();
    set("WAYLAND_DISPLAY", savedWayland);
    set("DISPLAY", savedX11);
    QCOMPARE(key, QStringLiteral("findlark-%1-%2").arg(::getuid()).arg(display));
  }

 private:
  QTemporaryDir runtime_;
};

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "single_instance_test.moc"
