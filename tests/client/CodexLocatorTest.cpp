#include "client/CodexLocator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace tallyglass {
namespace {

const QString homebrewCodex = QStringLiteral("/opt/homebrew/bin/codex");
const QString usrLocalCodex = QStringLiteral("/usr/local/bin/codex");

// Candidates 2 and 3 are real system paths; tests that need to get past them
// only run where neither exists.
#define SKIP_IF_SYSTEM_CODEX_EXISTS()                                                                      \
    do {                                                                                                   \
        if (QFileInfo::exists(homebrewCodex) || QFileInfo::exists(usrLocalCodex))                          \
            GTEST_SKIP() << "needs /opt/homebrew/bin/codex and /usr/local/bin/codex to be absent";         \
    } while (false)

class CodexLocatorTree : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(root.isValid()) << "temporary directory"; }

    QString path(const QString& relative) const { return root.filePath(relative); }
    QString home() const { return path(QStringLiteral("home")); }

    // Creates the file and its parent directories with the given mode.
    void makeFile(const QString& relative, QFile::Permissions permissions) const
    {
        const QString full = path(relative);
        ASSERT_TRUE(QDir().mkpath(QFileInfo(full).path())) << full.toStdString();
        QFile file(full);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << full.toStdString();
        file.write("#!/bin/sh\n");
        file.close();
        ASSERT_TRUE(file.setPermissions(permissions)) << full.toStdString();
    }
    void makeExecutable(const QString& relative) const
    {
        makeFile(relative, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    }
    void makePlain(const QString& relative) const { makeFile(relative, QFile::ReadOwner | QFile::WriteOwner); }
    void makeLink(const QString& target, const QString& relative) const
    {
        const QString full = path(relative);
        ASSERT_TRUE(QDir().mkpath(QFileInfo(full).path()));
        ASSERT_TRUE(QFile::link(target, full)) << full.toStdString();
    }

    QTemporaryDir root;
};

TEST(CodexLocator, CandidatesInOrder)
{
    const QStringList fixed{
        QStringLiteral("/h/.local/bin/codex"), homebrewCodex, usrLocalCodex, QStringLiteral("/h/.npm-global/bin/codex"),
    };
    const struct {
        const char* name;
        std::optional<QString> path;
        QStringList extra;
    } cases[] = {
        {"no PATH", std::nullopt, {}},
        {"empty PATH", QString(), {}},
        {"only colons", QStringLiteral(":::"), {}},
        {"empty pieces skipped", QStringLiteral("::/x/bin:"), {QStringLiteral("/x/bin/codex")}},
        {"order kept, relative kept, duplicates kept",
         QStringLiteral("/b:bin:/opt/homebrew/bin:/b:./tools/"),
         {QStringLiteral("/b/codex"), QStringLiteral("bin/codex"), homebrewCodex, QStringLiteral("/b/codex"),
          QStringLiteral("./tools//codex")}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CodexLocator::candidates(QStringLiteral("/h"), c.path), fixed + c.extra) << c.name;
}

TEST(CodexLocator, HomeDirectoryHasNoTrailingSlash)
{
    const QString home = CodexLocator::homeDirectory();
    EXPECT_FALSE(home.endsWith(u'/')) << home.toStdString();
}

TEST_F(CodexLocatorTree, HomeLocalBinComesFirst)
{
    makeExecutable(QStringLiteral("home/.local/bin/codex"));
    makeExecutable(QStringLiteral("home/.npm-global/bin/codex"));
    makeExecutable(QStringLiteral("pathdir/codex"));
    EXPECT_EQ(CodexLocator::find(home(), path(QStringLiteral("pathdir"))), home() + QStringLiteral("/.local/bin/codex"));
}

TEST_F(CodexLocatorTree, FixedCandidatesComeBeforePath)
{
    SKIP_IF_SYSTEM_CODEX_EXISTS();
    makeExecutable(QStringLiteral("home/.npm-global/bin/codex"));
    makeExecutable(QStringLiteral("first/codex"));
    EXPECT_EQ(CodexLocator::find(home(), path(QStringLiteral("first"))), home() + QStringLiteral("/.npm-global/bin/codex"));
}

TEST_F(CodexLocatorTree, SearchesPathInOrderSkippingWhatCannotRun)
{
    SKIP_IF_SYSTEM_CODEX_EXISTS();
    makePlain(QStringLiteral("home/.local/bin/codex"));               // not executable
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("home/.npm-global/bin/codex")))); // a directory
    makePlain(QStringLiteral("a/codex"));
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("b/codex"))));
    makeLink(path(QStringLiteral("missing")), QStringLiteral("c/codex")); // dangling link
    makeLink(path(QStringLiteral("a/codex")), QStringLiteral("d/codex")); // link to a plain file
    makeExecutable(QStringLiteral("e/codex"));
    makeExecutable(QStringLiteral("f/codex"));

    QStringList dirs;
    for (const char* dir : {"a", "b", "c", "d", "e", "f"})
        dirs << path(QString::fromLatin1(dir));
    EXPECT_EQ(CodexLocator::find(home(), dirs.join(u':')), path(QStringLiteral("e/codex")));
}

TEST_F(CodexLocatorTree, SymbolicLinkIsReturnedAsListed)
{
    SKIP_IF_SYSTEM_CODEX_EXISTS();
    makeExecutable(QStringLiteral("real/codex-1.2"));
    makeLink(path(QStringLiteral("real/codex-1.2")), QStringLiteral("links/codex"));
    // A PATH entry with a trailing slash is not normalised either.
    const QString entry = path(QStringLiteral("links/"));
    EXPECT_EQ(CodexLocator::find(home(), QStringLiteral("::") + entry + QStringLiteral(":")), entry + QStringLiteral("/codex"));
}

TEST_F(CodexLocatorTree, RelativePathEntryIsTestedFromTheWorkingDirectory)
{
    SKIP_IF_SYSTEM_CODEX_EXISTS();
    makeExecutable(QStringLiteral("work/bin/codex"));
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(path(QStringLiteral("work"))));
    const auto found = CodexLocator::find(home(), QStringLiteral("bin"));
    const auto elsewhere = CodexLocator::find(home(), QStringLiteral("work/bin"));
    ASSERT_TRUE(QDir::setCurrent(previous)) << "restoring the working directory";
    EXPECT_EQ(found, QStringLiteral("bin/codex"));
    EXPECT_EQ(elsewhere, std::nullopt);
}

TEST_F(CodexLocatorTree, NothingExecutableGivesNothing)
{
    SKIP_IF_SYSTEM_CODEX_EXISTS();
    makePlain(QStringLiteral("home/.local/bin/codex"));
    makePlain(QStringLiteral("p/codex"));
    EXPECT_EQ(CodexLocator::find(home(), path(QStringLiteral("p"))), std::nullopt);
    EXPECT_EQ(CodexLocator::find(home(), std::nullopt), std::nullopt);
}

// The no-argument search reads PATH from the environment and tells unset from set.
TEST_F(CodexLocatorTree, DefaultSearchReadsPathFromEnvironment)
{
    SKIP_IF_SYSTEM_CODEX_EXISTS();
    const QString realHome = CodexLocator::homeDirectory();
    for (const char* suffix : {"/.local/bin/codex", "/.npm-global/bin/codex"}) {
        if (QFileInfo(realHome + QLatin1StringView(suffix)).isExecutable())
            GTEST_SKIP() << "the user's home already holds a codex";
    }
    makeExecutable(QStringLiteral("envbin/codex"));

    const QByteArray savedPath = qgetenv("PATH");
    const bool hadPath = qEnvironmentVariableIsSet("PATH");
    ASSERT_EQ(::setenv("PATH", QFile::encodeName(QStringLiteral("::") + path(QStringLiteral("envbin"))).constData(), 1), 0);
    const auto withPath = CodexLocator::find();
    ASSERT_EQ(::unsetenv("PATH"), 0);
    const auto withoutPath = CodexLocator::find();
    if (hadPath)
        ::setenv("PATH", savedPath.constData(), 1);

    EXPECT_EQ(withPath, path(QStringLiteral("envbin/codex")));
    EXPECT_EQ(withoutPath, std::nullopt);
}

} // namespace
} // namespace tallyglass
