#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using findlark::SingleInstance;

namespace {

// Another start, in a process of its own: it claims `key` on "go" (see single_instance_child).
std::unique_ptr<QProcess> StartChild(const QString& key, const QByteArray& token = {}) {
  auto child = std::make_unique<QProcess>();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
  if (!token.isNull())
    env.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), QString::fromLatin1(token));
  child->setProcessEnvironment(env);
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

// Starts another instance, lets it claim, and gives its verdict once it has ended.
QByteArray RunChild(const QString& key, const QByteArray& token = {}) {
  auto child = StartChild(key, token);
  if (!child->waitForStarted()) return "not started";
  child->write("go\n");
  const QByteArray verdict = ReadVerdict(*child);
  child->closeWriteChannel();
  return child->waitForFinished() ? verdict : "not finished";
}

}  // namespace

class SingleInstanceTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(runtime_.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.path()));
  }

  void secondStartLosesAndTheFirstShows() {
    // The launcher's token reaches the running instance; a malformed one is not passed on.
    const std::pair<QByteArray, QByteArray> cases[] = {
        {QByteArray(), QByteArray()},         {"wl-token_0123:abc/DEF=", "wl-token_0123:abc/DEF="},
        {"two words", QByteArray()},          {"line\nshow", QByteArray()},
        {QByteArray(300, 'x'), QByteArray()},
    };
    {
      SingleInstance first(QStringLiteral("second"));
      QSignalSpy shown(&first, &SingleInstance::showRequested);
      QVERIFY(first.Claim());
      for (const auto& [token, handedOn] : cases) {
        QCOMPARE(RunChild(QStringLiteral("second"), token), QByteArray("lost"));
        QVERIFY(shown.wait(10000));
        QCOMPARE(shown.takeFirst().at(0).toByteArray(), handedOn);
      }
      QVERIFY(shown.isEmpty());  // one show per start
    }
    SingleInstance next(QStringLiteral("second"));  // once the first has ended
    QVERIFY(next.Claim());
  }

  // A socket left by a killed instance is taken over in the real-display test; a plain file
  // in its place is too.
  void leftoverRendezvousIsTakenOver() {
    QFile file(runtime_.filePath(QStringLiteral("stale-file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    SingleInstance first(QStringLiteral("stale-file"));
    QSignalSpy shown(&first, &SingleInstance::showRequested);
    QVERIFY(first.Claim());
    SingleInstance second(QStringLiteral("stale-file"));  // the takeover really listens
    QVERIFY(!second.Claim());
    QVERIFY(shown.wait(10000));
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
  void withoutRuntimeFolderUsesAPrivateTempFolder() {
    const QByteArray savedTmp = qgetenv("TMPDIR");
    for (const int preset : {-1, 0700, 0777}) {  // -1: the folder does not exist yet
      QTemporaryDir tmp;
      const QString own = tmp.filePath(QStringLiteral("findlark-%1").arg(::getuid()));
      if (preset >= 0) {
        QVERIFY(QDir().mkdir(own));
        QCOMPARE(::chmod(QFile::encodeName(own).constData(), preset), 0);
      }
      qputenv("TMPDIR", QFile::encodeName(tmp.path()));
      qunsetenv("XDG_RUNTIME_DIR");
      SingleInstance instance(QStringLiteral("fallback"));
      const bool claimed = instance.Claim();
      qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.path()));
      savedTmp.isEmpty() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", savedTmp);
      QVERIFY(claimed);
      const bool usesOwn = preset != 0777;
      QCOMPARE(QFileInfo::exists(own + QStringLiteral("/fallback")), usesOwn);
      QVERIFY(QFileInfo::exists((usesOwn ? own : tmp.path()) + QStringLiteral("/fallback")));
      struct stat st;
      QCOMPARE(::stat(QFile::encodeName(own).constData(), &st), 0);
      if (usesOwn) QCOMPARE(int(st.st_mode & 0777), 0700);
    }
  }

 private:
  QTemporaryDir runtime_;
};

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "single_instance_test.moc"
