#include "platform/XdgAutostart.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass::test {
namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(text);
}

// desktop-file-validate's verdict: empty when the file is accepted.
std::string validate(const QString& path)
{
    const QString tool = QStringLiteral(TALLYGLASS_DESKTOP_FILE_VALIDATE);
    if (tool.isEmpty())
        return "desktop-file-validate was not found when the build was configured";
    QProcess process;
    process.start(tool, {path});
    if (!process.waitForFinished(20'000))
        return "desktop-file-validate did not finish within 20 s";
    const QByteArray output = process.readAllStandardOutput() + process.readAllStandardError();
    if (process.exitCode() != 0 || output.contains("error"))
        return output.toStdString();
    return {};
}

TEST(XdgAutostart, RegisterStatusUnregister)
{
    QTemporaryDir config;
    const QString autostart = config.filePath(QStringLiteral("autostart"));
    XdgAutostart item(autostart, QStringLiteral("/usr/bin/tallyglass"));
    EXPECT_FALSE(item.isRegistered());
    ASSERT_TRUE(item.registerItem()) << "creates the missing folder";
    EXPECT_TRUE(item.isRegistered());
    EXPECT_EQ(item.entryPath(), autostart + QStringLiteral("/tallyglass.desktop"));
    const QByteArray text = readFile(item.entryPath());
    for (const char* line : {"[Desktop Entry]\n", "\nType=Application\n", "\nName=Tallyglass\n",
                             "\nExec=\"/usr/bin/tallyglass\"\n", "\nX-GNOME-Autostart-Delay=2\n",
                             "\nX-KDE-autostart-after=panel\n"})
        EXPECT_TRUE(text.contains(line)) << line;
    EXPECT_EQ(validate(item.entryPath()), "");
    ASSERT_TRUE(item.registerItem()) << "registering twice rewrites the entry";
    ASSERT_TRUE(item.unregisterItem());
    EXPECT_FALSE(QFile::exists(item.entryPath()));
    EXPECT_FALSE(item.isRegistered());
}

TEST(XdgAutostart, DisabledEntriesDoNotCountAsRegistered)
{
    QTemporaryDir config;
    XdgAutostart item(config.path(), QStringLiteral("/opt/t"));
    const std::vector<std::pair<QByteArray, bool>> cases{
        {"[Desktop Entry]\nType=Application\nExec=t\n", true},
        {"[Desktop Entry]\nHidden=true\n", false},
        {"[Desktop Entry]\nHidden = true\n", false},
        {"[Desktop Entry]\nHidden=false\n", true},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", false},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=true\n", true},
        {"[Desktop Entry]\n#Hidden=true\n", true},
        {"[Desktop Entry]\nName=x\n[Desktop Action a]\nHidden=true\n", true},
        // Not an entry at all: someone's shell start-up file, or nothing.
        {"export PATH=$HOME/bin:$PATH\nHidden=false\n", false},
        {"", false},
    };
    for (const auto& [text, registered] : cases) {
        SCOPED_TRACE(text.toStdString());
        writeFile(item.entryPath(), text);
        EXPECT_EQ(item.isRegistered(), registered);
    }
}

// Whatever sits at the entry's path that is not our entry is never written through: a link
// to a shell start-up file, a link to another entry, a FIFO, a folder.
TEST(XdgAutostart, OnlyOurOwnEntryIsRewrittenAndNeverThroughALink)
{
    QTemporaryDir config;
    const QString bashrc = config.filePath(QStringLiteral("bashrc"));
    const QByteArray shell = "export PATH=$HOME/bin:$PATH\n";
    writeFile(bashrc, shell);
    const QString launcher = config.filePath(QStringLiteral("launcher.desktop"));
    const QByteArray otherEntry = XdgAutostart::entryText(QStringLiteral("/opt/old/tallyglass"));
    writeFile(launcher, otherEntry);
    XdgAutostart item(config.filePath(QStringLiteral("autostart")), QStringLiteral("/usr/bin/tallyglass"));
    ASSERT_TRUE(QDir().mkpath(config.filePath(QStringLiteral("autostart"))));
    const QByteArray entry = QFile::encodeName(item.entryPath());

    const std::vector<std::pair<const char*, std::function<void()>>> cases{
        {"a link to a shell file", [&] { QFile::link(bashrc, item.entryPath()); }},
        {"a link to another entry", [&] { QFile::link(launcher, item.entryPath()); }},
        {"a FIFO", [&] { ::mkfifo(entry.constData(), 0600); }},
        {"a folder", [&] { QDir().mkpath(item.entryPath()); }},
    };
    for (const auto& [what, make] : cases) {
        SCOPED_TRACE(what);
        make();
        struct stat before {};
        ASSERT_EQ(::lstat(entry.constData(), &before), 0);
        EXPECT_EQ(item.isRegistered(), std::string(what) == "a link to another entry");
        EXPECT_TRUE(item.refresh());
        struct stat after {};
        ASSERT_EQ(::lstat(entry.constData(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << "left in place";
        EXPECT_EQ(readFile(bashrc), shell);
        EXPECT_EQ(readFile(launcher), otherEntry);
        ::unlink(entry.constData());
        ::rmdir(entry.constData());
    }

    // Switched on by hand over a link: the link itself is replaced, its target untouched.
    ASSERT_TRUE(QFile::link(bashrc, item.entryPath()));
    ASSERT_TRUE(item.registerItem());
    EXPECT_FALSE(QFileInfo(item.entryPath()).isSymLink());
    EXPECT_EQ(readFile(item.entryPath()), XdgAutostart::entryText(QStringLiteral("/usr/bin/tallyglass")));
    EXPECT_EQ(readFile(bashrc), shell);
    EXPECT_EQ(QDir(config.filePath(QStringLiteral("autostart"))).entryList(QDir::AllEntries | QDir::Hidden
                                                                              | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("tallyglass.desktop")});
}

TEST(XdgAutostart, ExecQuotesAwkwardPaths)
{
    const std::vector<std::pair<QString, QString>> cases{
        {QStringLiteral("/opt/My Apps/tallyglass"), QStringLiteral("\"/opt/My Apps/tallyglass\"")},
        {QStringLiteral("/opt/say \"hi\"/t"), QStringLiteral("\"/opt/say \\\\\"hi\\\\\"/t\"")},
        {QStringLiteral("/opt/a\\b/t"), QStringLiteral("\"/opt/a\\\\\\\\b/t\"")},
        {QStringLiteral("/opt/$HOME/t"), QStringLiteral("\"/opt/\\\\$HOME/t\"")},
        {QStringLiteral("/opt/100%/t"), QStringLiteral("\"/opt/100%%/t\"")},
        {QStringLiteral("/opt/`x`/t"), QStringLiteral("\"/opt/\\\\`x\\\\`/t\"")},
        {QStringLiteral("/opt/it's/t"), QStringLiteral("\"/opt/it's/t\"")},
    };
    for (const auto& [path, exec] : cases)
        EXPECT_EQ(XdgAutostart::execArgument(path), exec) << path.toStdString();
}

TEST(XdgAutostart, ValidatorAcceptsEntriesForAwkwardPaths)
{
    QTemporaryDir config;
    for (const QString& path : {QStringLiteral("/home/a b/My \"Apps\"/tally glass"),
                                QStringLiteral("/opt/it's $5 & 100%/a\\b/`t`"), QStringLiteral("/opt/한글/t")}) {
        SCOPED_TRACE(path.toStdString());
        XdgAutostart item(config.path(), path);
        ASSERT_TRUE(item.registerItem());
        EXPECT_EQ(validate(item.entryPath()), "");
    }
}

// `gio launch ENTRY` as a GLib-based session would start it; true when the marker file
// the started program writes appears.
bool launchesThroughGio(const QString& entry, const QString& marker, std::string* why)
{
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    if (gio.isEmpty()) {
        *why = "gio is missing (Debian package libglib2.0-bin)";
        return false;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(gio, {QStringLiteral("launch"), entry});
    if (!process.waitForFinished(20'000) || process.exitCode() != 0) {
        *why = "gio launch: " + process.readAll().toStdString();
        return false;
    }
    for (int i = 0; i < 100 && !QFile::exists(marker); ++i)
        QThread::msleep(50);
    *why = "the program did not run";
    return QFile::exists(marker);
}

// A program path with % in it: the entry starts it through a link in the data folder,
// since GLib refuses an Exec line with %%; moving the program is followed on refresh,
// and once the program is gone GLib skips the entry (TryExec) instead of failing.
TEST(XdgAutostart, PercentPathsLaunchThroughGLib)
{
    QTemporaryDir root;
    const QString marker = root.filePath(QStringLiteral("ran"));
    const auto makeProgram = [&](const QString& folder) {
        EXPECT_TRUE(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/tally glass");
        writeFile(path, "#!/bin/sh\necho ran > '" + marker.toUtf8() + "'\n");
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    };
    const QString autostart = root.filePath(QStringLiteral("autostart"));
    const QString links = root.filePath(QStringLiteral("data/tallyglass"));
    const QString first = makeProgram(root.filePath(QStringLiteral("100% sure")));

    XdgAutostart item(autostart, first, links);
    ASSERT_TRUE(item.registerItem());
    EXPECT_EQ(item.launchPath(), links + QStringLiteral("/tallyglass"));
    const QByteArray text = readFile(item.entryPath());
    EXPECT_FALSE(text.contains('%')) << text.toStdString();
    EXPECT_TRUE(text.contains("\nTryExec=" + item.launchPath().toUtf8() + "\n")) << text.toStdString();
    EXPECT_EQ(validate(item.entryPath()), "");
    std::string why;
    EXPECT_TRUE(launchesThroughGio(item.entryPath(), marker, &why)) << why;

    // Moved to another % path: the link follows once the new copy starts.
    const QString second = makeProgram(root.filePath(QStringLiteral("50%/bin")));
    QFile::remove(first);
    QFile::remove(marker);
    ASSERT_TRUE(XdgAutostart(autostart, second, links).refresh());
    EXPECT_TRUE(launchesThroughGio(item.entryPath(), marker, &why)) << why;

    // Moved to a folder whose name is not UTF-8: desktop entries are, so the link serves too.
    const QByteArray third = QFile::encodeName(root.path()) + "/bad\xff\xfe/tallyglass";
    ASSERT_EQ(::mkdir(third.left(third.lastIndexOf('/')).constData(), 0700), 0);
    ASSERT_EQ(::link(QFile::encodeName(second).constData(), third.constData()), 0);
    QFile::remove(second);
    QFile::remove(marker);
    ASSERT_TRUE(XdgAutostart(autostart, third, links).refresh());
    EXPECT_EQ(validate(item.entryPath()), "");
    EXPECT_TRUE(launchesThroughGio(item.entryPath(), marker, &why)) << why;
    EXPECT_TRUE(XdgAutostart(autostart, third, links).isRegistered());

    // Gone: GLib refuses the entry rather than starting a missing program.
    ::unlink(third.constData());
    ::rmdir(third.left(third.lastIndexOf('/')).constData()); // a name QTemporaryDir cannot remove
    QFile::remove(marker);
    EXPECT_FALSE(launchesThroughGio(item.entryPath(), marker, &why));
}

TEST(XdgAutostart, RefreshRewritesOnlyEnabledEntriesForAnotherPath)
{
    QTemporaryDir config;
    XdgAutostart old(config.path(), QStringLiteral("/opt/old/tallyglass"));
    XdgAutostart current(config.path(), QStringLiteral("/usr/bin/tallyglass"));
    EXPECT_TRUE(current.refresh()) << "nothing to do when launch at login is off";
    EXPECT_FALSE(QFile::exists(current.entryPath()));

    ASSERT_TRUE(old.registerItem());
    ASSERT_TRUE(current.refresh());
    EXPECT_EQ(readFile(current.entryPath()), XdgAutostart::entryText(QStringLiteral("/usr/bin/tallyglass")));

    // The user's own changes stay: only the program's path changes, in Exec and TryExec.
    const auto edited = [](const QByteArray& program) {
        return "# started with a larger scale\n[Desktop Entry]\nType=Application\nName=My usage\n"
               "Exec=env QT_SCALE_FACTOR=2 \"" + program + "\" --x\n"
               "TryExec=" + program + "\nX-GNOME-Autostart-Delay=30\nOnlyShowIn=XFCE;\r\n"
               "# mine\n[Desktop Action extra]\nExec=\"" + program + "\"\n";
    };
    writeFile(current.entryPath(), edited("/opt/old/tallyglass"));
    ASSERT_TRUE(current.refresh());
    EXPECT_EQ(readFile(current.entryPath()).toStdString(),
              edited("/usr/bin/tallyglass").replace("[Desktop Action extra]\nExec=\"/usr/bin/tallyglass",
                                                    "[Desktop Action extra]\nExec=\"/opt/old/tallyglass")
                  .toStdString());
    // Without TryExec, the absolute argument with the program's name is the program.
    writeFile(current.entryPath(), "[Desktop Entry]\nExec=/usr/bin/env A=1 /opt/old/tallyglass\n");
    ASSERT_TRUE(current.refresh());
    EXPECT_EQ(readFile(current.entryPath()), "[Desktop Entry]\nExec=/usr/bin/env A=1 \"/usr/bin/tallyglass\"\n");

    // An entry the user turned off in the session settings stays as it is.
    const QByteArray hidden = XdgAutostart::entryText(QStringLiteral("/opt/old/tallyglass")) + "Hidden=true\n";
    writeFile(current.entryPath(), hidden);
    ASSERT_TRUE(current.refresh());
    EXPECT_EQ(readFile(current.entryPath()), hidden);
}

TEST(XdgAutostart, UnwritableFolderFails)
{
    QTemporaryDir config;
    // A file where the autostart folder should be: no folder can be made, even as root.
    writeFile(config.filePath(QStringLiteral("autostart")), "not a folder");
    XdgAutostart blocked(config.filePath(QStringLiteral("autostart")), QStringLiteral("/usr/bin/tallyglass"));
    EXPECT_FALSE(blocked.isRegistered());
    EXPECT_FALSE(blocked.registerItem());
}

TEST(XdgAutostart, ForCurrentUserFollowsXdgConfigHome)
{
    QTemporaryDir config;
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    const XdgAutostart item = XdgAutostart::forCurrentUser();
    // A relative one is ignored, as the base-directory rules say.
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", config.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", "relcfg");
    const XdgAutostart relative = XdgAutostart::forCurrentUser();
    qputenv("HOME", savedHome);
    saved.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", saved);
    EXPECT_EQ(item.entryPath(), config.path() + QStringLiteral("/autostart/tallyglass.desktop"));
    EXPECT_EQ(relative.entryPath(), config.path() + QStringLiteral("/.config/autostart/tallyglass.desktop"));
}

} // namespace
} // namespace tallyglass::test
