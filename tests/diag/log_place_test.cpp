// Where a log may be written: the decision as a table of folder and file facts (what Wine cannot
// show: owners, DACLs, junctions, hard links on Windows), and the real edge where the platform
// can show it (a symbolic link, a hard link, the DACL or mode a created file gets).
#include "log_place.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "debug.h"

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr uint32_t FULL = 0x001F01FF, MODIFY = 0x001301BF, READ_EXECUTE = 0x001200A9;
constexpr uint32_t APPEND_ONLY = 0x00000004;  // "create folders / append data"

LogAce Ace(int who, uint32_t mask, const char* sid, int kind = LOG_ACE_ALLOW, bool inheritOnly = false)
{
    LogAce a = {};
    a.Kind = kind;
    a.Who = who;
    a.InheritOnly = inheritOnly;
    a.Mask = mask;
    snprintf(a.Sid, sizeof a.Sid, "%s", sid);
    return a;
}

// A folder as an installer makes it: protected, SYSTEM and Administrators only.
LogPlaceFacts Good()
{
    LogPlaceFacts f = {};
    f.FolderFound = true;
    f.Owner = LOG_WHO_ADMINS;
    snprintf(f.OwnerSid, sizeof f.OwnerSid, "S-1-5-32-544");
    f.DaclPresent = true;
    f.Aces[f.AceCount++] = Ace(LOG_WHO_SYSTEM, FULL, "S-1-5-18");
    f.Aces[f.AceCount++] = Ace(LOG_WHO_ADMINS, FULL, "S-1-5-32-544");
    return f;
}

LogPlaceFacts With(LogPlaceFacts f, LogAce a)
{
    f.Aces[f.AceCount++] = a;
    return f;
}

TEST(LogPlaceJudge, FolderAndFileFactsToVerdictAndReason)
{
    const LogAce users = Ace(LOG_WHO_OTHER, READ_EXECUTE, "S-1-5-32-545");
    const LogAce authModify = Ace(LOG_WHO_OTHER, MODIFY, "S-1-5-11");
    LogPlaceFacts missing = {};
    LogPlaceFacts linked = Good();
    linked.FolderReparse = true;
    LogPlaceFacts below = Good();
    snprintf(below.ReparseAt, sizeof below.ReparseAt, "C:\\dulvex");
    LogPlaceFacts theirs = Good();
    theirs.Owner = LOG_WHO_OTHER;
    snprintf(theirs.OwnerSid, sizeof theirs.OwnerSid, "S-1-5-21-1-2-3-1001");
    LogPlaceFacts mine = Good();
    mine.Owner = LOG_WHO_SELF;
    LogPlaceFacts noDacl = Good();
    noDacl.DaclPresent = false;
    LogPlaceFacts tooMany = Good();
    tooMany.AceCount = LOG_ACE_MAX + 1;
    LogPlaceFacts fileLinked = Good();
    fileLinked.FileFound = true;
    fileLinked.FileReparse = true;
    LogPlaceFacts twoNames = Good();
    twoNames.FileFound = true;
    twoNames.FileLinks = 2;
    LogPlaceFacts oneName = twoNames;
    oneName.FileLinks = 1;
    LogPlaceFacts fileTheirs = oneName;
    fileTheirs.FileOwner = LOG_WHO_OTHER;
    snprintf(fileTheirs.FileOwnerSid, sizeof fileTheirs.FileOwnerSid, "S-1-5-21-1-2-3-1001");
    // A hard link in a folder every user may change: protecting the folder would not undo it.
    LogPlaceFacts linkInOpen = With(twoNames, authModify);
    const struct {
        const char* Name;
        LogPlaceFacts Facts;
        int Verdict;
        const char* Why;
    } cases[] = {
        {"installer's folder", Good(), LOG_PLACE_OK, ""},
        {"users may read and list", With(Good(), users), LOG_PLACE_OK, ""},
        {"CREATOR OWNER full control", With(With(Good(), users), Ace(LOG_WHO_CREATOR_OWNER, FULL, "S-1-3-0", LOG_ACE_ALLOW, true)),
         LOG_PLACE_OK, ""},
        {"users' Modify for children only", With(Good(), Ace(LOG_WHO_OTHER, MODIFY, "S-1-5-11", LOG_ACE_ALLOW, true)),
         LOG_PLACE_OK, ""},
        {"a deny ACE for everyone", With(Good(), Ace(LOG_WHO_OTHER, FULL, "S-1-1-0", LOG_ACE_DENY)), LOG_PLACE_OK, ""},
        {"the service's own account", With(mine, Ace(LOG_WHO_SELF, FULL, "S-1-5-21-0-0-0-1000")), LOG_PLACE_OK, ""},
        {"an existing file with one name", oneName, LOG_PLACE_OK, ""},
        {"made in Explorer at the root of C:", With(With(Good(), users), authModify), LOG_PLACE_OPEN_DACL,
         "lets S-1-5-11 add, delete or re-permission its files (rights 0x001301bf)"},
        {"users may add folders", With(Good(), Ace(LOG_WHO_OTHER, APPEND_ONLY, "S-1-5-32-545")), LOG_PLACE_OPEN_DACL,
         "lets S-1-5-32-545 add"},
        {"everyone may rewrite the DACL", With(Good(), Ace(LOG_WHO_OTHER, 0x00040000, "S-1-1-0")), LOG_PLACE_OPEN_DACL,
         "lets S-1-1-0 add"},
        {"everyone generic write", With(Good(), Ace(LOG_WHO_OTHER, 0x40000000, "S-1-1-0")), LOG_PLACE_OPEN_DACL,
         "(rights 0x40000000)"},
        {"an ACE of another kind", With(Good(), Ace(LOG_WHO_OTHER, 0, "an ACE of type 5", LOG_ACE_UNKNOWN)),
         LOG_PLACE_OPEN_DACL, "of a kind the service does not judge (for an ACE of type 5)"},
        {"no DACL", noDacl, LOG_PLACE_OPEN_DACL, "has no DACL, which grants every account full control"},
        {"more ACEs than read", tooMany, LOG_PLACE_OPEN_DACL, "has more ACEs than the service reads (33)"},
        {"missing", missing, LOG_PLACE_REFUSED, "does not exist or cannot be examined"},
        {"a junction", linked, LOG_PLACE_REFUSED, "is a reparse point (a junction or symbolic link)"},
        {"below a junction", below, LOG_PLACE_REFUSED,
         "is reached through C:\\dulvex, a reparse point (a junction or symbolic link)"},
        {"another account's folder", theirs, LOG_PLACE_REFUSED,
         "is owned by S-1-5-21-1-2-3-1001, neither SYSTEM, the Administrators group nor the service's account"},
        {"the file is a link", fileLinked, LOG_PLACE_REFUSED, "holds the log's file as a reparse point"},
        {"the file has two names", twoNames, LOG_PLACE_REFUSED, "holds the log's file with 2 names (hard links)"},
        {"another account's file", fileTheirs, LOG_PLACE_REFUSED, "holds the log's file owned by S-1-5-21-1-2-3-1001"},
        {"two names in an open folder", linkInOpen, LOG_PLACE_REFUSED, "with 2 names"},
    };
    for (const auto& c : cases) {
        char why[LOG_WHY_SIZE] = "";
        EXPECT_EQ(c.Verdict, LogPlaceJudge(&c.Facts, why, sizeof why)) << c.Name << ": " << why;
        if (c.Why[0] == '\0') {
            EXPECT_STREQ("", why) << c.Name;
        } else {
            EXPECT_NE(nullptr, strstr(why, c.Why)) << c.Name << ": " << why;
        }
    }
}

TEST(LogFolderOf, UpToTheLastSeparatorAndRootsKeepTheirs)
{
    const struct {
        const char* Path;
        const char* Folder;  // nullptr: refused
    } cases[] = {
        {"C:\\x.log", "C:\\"},       {"C:\\a\\b\\x.log", "C:\\a\\b"},       {"x.log", "."},
        {"/tmp/x.log", "/tmp"},      {"/x.log", "/"},                       {"C:x.log", nullptr},
        {"\\\\pc\\share\\x.log", "\\\\pc\\share"}, {"C:/a/x.log", "C:/a"}, {"", "."},
    };
    for (const auto& c : cases) {
        char folder[LOG_PATH_SIZE] = "untouched";
        bool ok = LogFolderOf(c.Path, folder, sizeof folder);
        EXPECT_EQ(c.Folder != nullptr, ok) << c.Path;
        if (c.Folder != nullptr) {
            EXPECT_STREQ(c.Folder, folder) << c.Path;
        }
    }
    char small[4];
    EXPECT_FALSE(LogFolderOf("C:\\abc\\x.log", small, sizeof small));
}

std::string Work()
{
    static std::string dir = (fs::path(::testing::TempDir()) / "dulvex_log_place").string();
    return dir;
}

// A folder reached through a link (Wine shows a Unix symbolic link as a reparse point; the
// wrapper script makes one, since Wine's CreateSymbolicLink makes nothing) is refused for the
// trace, with nothing created behind it.
TEST(LogPlaceEdge, LinkedFolderIsRefused)
{
#ifdef _WIN32
    const char* env = getenv("DULVEX_LOG_LINK");
    if (env == nullptr)
        GTEST_SKIP() << "DULVEX_LOG_LINK not set";
    fs::path linked = env;
    fs::path target = linked.parent_path() / "target";
#else
    fs::remove_all(Work());
    fs::path target = fs::path(Work()) / "target";
    fs::path linked = fs::path(Work()) / "link";
    fs::create_directories(target);
    fs::create_directory_symlink(target, linked);
#endif
    for (const fs::path& dir : {linked, linked / "below"}) {
        fs::create_directories(target / "below");
        std::string name = (dir / "trace.log").string();
        char why[LOG_WHY_SIZE] = "";
        EXPECT_FALSE(LogPlaceCheck(name.c_str(), why, sizeof why)) << name;
        EXPECT_NE(nullptr, strstr(why, "a reparse point (a junction or symbolic link)")) << why;
        EXPECT_FALSE(OpenTrace(name.c_str())) << name;
        fs::remove_all(target / "below");
    }
    EXPECT_TRUE(fs::is_empty(target));
    // The folder itself is fine, and held while taken: it cannot be renamed then.
    char why[LOG_WHY_SIZE] = "";
    LogPlace place = {0};
    ASSERT_TRUE(LogPlaceTake(target.string().c_str(), false, &place, nullptr, why, sizeof why)) << why;
    LogPlaceRelease(&place);
}

// A folder every account may change is refused, unless the caller (the capture log) asks for it
// to be protected: then it is, and passes from then on. Under Wine the script gives the folder
// mode 0777, which Wine reads back as an Everyone ACE with write rights.
TEST(LogPlaceEdge, OpenFolderIsRefusedOrProtected)
{
#ifdef _WIN32
    const char* env = getenv("DULVEX_LOG_OPEN");
    if (env == nullptr)
        GTEST_SKIP() << "DULVEX_LOG_OPEN not set";
    const std::string dir = env;
#else
    const std::string dir = (fs::path(Work()) / "open").string();
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::all);
#endif
    LogPlace place = {0};
    bool protectedNow = true;
    char why[LOG_WHY_SIZE] = "";
    EXPECT_FALSE(LogPlaceTake(dir.c_str(), false, &place, &protectedNow, why, sizeof why));
    EXPECT_FALSE(protectedNow);
    EXPECT_EQ(0, place.Handle);
    EXPECT_NE(nullptr, strstr(why, "add, delete or re-permission its files")) << why;
    ASSERT_TRUE(LogPlaceTake(dir.c_str(), true, &place, &protectedNow, why, sizeof why)) << why;
    EXPECT_TRUE(protectedNow);
    LogPlaceRelease(&place);
    EXPECT_TRUE(LogPlaceTake(dir.c_str(), false, &place, &protectedNow, why, sizeof why)) << why;
    EXPECT_FALSE(protectedNow);
    LogPlaceRelease(&place);
}

// Every file the service creates or reopens is its own: no Everyone ACE (Wine keeps a DACL given
// at creation as mode bits and reads it back); mode 0600 natively.
TEST(LogPlaceEdge, FilesGetTheLogsDaclAndASecondNameIsRefused)
{
    fs::create_directories(Work());
    const std::string name = (fs::path(Work()) / "own.log").string();
    fs::remove(name);
    for (int mode : {LOG_OPEN_APPEND, LOG_OPEN_EMPTY, LOG_OPEN_APPEND}) {
        char why[LOG_WHY_SIZE] = "";
        FILE* f = LogPlaceOpen(name.c_str(), mode, why, sizeof why);
        ASSERT_NE(nullptr, f) << why;
        fputs("line\n", f);
        fclose(f);
#ifdef _WIN32
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, GetNamedSecurityInfoA(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                       nullptr, &dacl, nullptr, &sd));
        char* text = nullptr;
        ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                         &text, nullptr));
        std::string sddl = text;
        LocalFree(text);
        LocalFree(sd);
        EXPECT_NE(std::string::npos, sddl.find(";;;SY)")) << sddl;
        EXPECT_EQ(std::string::npos, sddl.find(";;;WD)")) << sddl;
        EXPECT_EQ(std::string::npos, sddl.find(";;;BU)")) << sddl;
#else
        struct stat st;
        ASSERT_EQ(0, stat(name.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 07777);
#endif
    }
    std::string text;
    if (FILE* f = fopen(name.c_str(), "r")) {
        for (int c; (c = fgetc(f)) != EOF;)
            text += static_cast<char>(c);
        fclose(f);
    }
    EXPECT_EQ("line\nline\n", text) << "emptied once, appended to twice";
    const std::string other = name + ".other";
    fs::remove(other);
    fs::create_hard_link(name, other);
    char why[LOG_WHY_SIZE] = "";
    EXPECT_EQ(nullptr, LogPlaceOpen(name.c_str(), LOG_OPEN_APPEND, why, sizeof why));
    EXPECT_STREQ("has 2 names (hard links)", why);
    EXPECT_FALSE(LogPlaceCheck(name.c_str(), why, sizeof why));
    EXPECT_NE(nullptr, strstr(why, "with 2 names (hard links)")) << why;
    fs::remove(other);
    fs::remove(name);
}

}  // namespace
