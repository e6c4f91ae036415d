// POSIX side of a log's place, for the native builds and their tests: a symbolic link stands for
// a reparse point, the owner's uid for the owner (root as SYSTEM), and the mode's group and
// other write bits for ACEs that let others change the folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log_place.h"

namespace {

int WhoOfUid(uid_t uid) { return uid == 0 ? LOG_WHO_SYSTEM : uid == geteuid() ? LOG_WHO_SELF : LOG_WHO_OTHER; }

bool IsReparse(const char* path)
{
    struct stat st;
    return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

void AddAce(LogPlaceFacts* f, const char* who)
{
    LogAce* a = &f->Aces[f->AceCount++];
    a->Kind = LOG_ACE_ALLOW;
    a->Who = LOG_WHO_OTHER;
    a->Mask = 0x2;  // add a file
    snprintf(a->Sid, sizeof a->Sid, "%s", who);
}

void ReadFolderFacts(int fd, LogPlaceFacts* f)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return;
    f->FolderFound = true;
    f->Owner = WhoOfUid(st.st_uid);
    snprintf(f->OwnerSid, sizeof f->OwnerSid, "uid %lu", static_cast<unsigned long>(st.st_uid));
    f->DaclPresent = true;
    f->AceCount = 0;
    // In a sticky folder nobody removes or renames another's file; a file planted under the
    // log's name is judged by its owner and its links.
    if (st.st_mode & S_ISVTX)
        return;
    if (st.st_mode & S_IWGRP)
        AddAce(f, "its group");
    if (st.st_mode & S_IWOTH)
        AddAce(f, "every account");
}

void ReadFileFacts(const char* path, LogPlaceFacts* f)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return;
    f->FileFound = true;
    f->FileOwner = WhoOfUid(st.st_uid);
    snprintf(f->FileOwnerSid, sizeof f->FileOwnerSid, "uid %lu", static_cast<unsigned long>(st.st_uid));
    f->FileReparse = S_ISLNK(st.st_mode);
    f->FileLinks = static_cast<unsigned long>(st.st_nlink);
}

int Examine(const char* dir, const char* file, int* keep, LogPlaceFacts* f, char* why, size_t whySize)
{
    memset(f, 0, sizeof *f);
    if (LogReparseOnTheWay(dir, IsReparse, f->ReparseAt, sizeof f->ReparseAt)) {
        f->FolderFound = true;
        f->FolderReparse = strcmp(f->ReparseAt, dir) == 0;
        return LogPlaceJudge(f, why, whySize);
    }
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) {
        snprintf(why, whySize, "cannot be opened (errno %d)", errno);
        return LOG_PLACE_REFUSED;
    }
    ReadFolderFacts(fd, f);
    if (file != nullptr)
        ReadFileFacts(file, f);
    int verdict = LogPlaceJudge(f, why, whySize);
    if (keep != nullptr)
        *keep = fd;
    else
        close(fd);
    return verdict;
}

}  // namespace

bool LogPlaceCheck(const char* path, char* why, size_t whySize)
{
    char dir[LOG_PATH_SIZE];
    if (!LogFolderOf(path, dir, sizeof dir)) {
        snprintf(why, whySize, "has no folder the service can judge");
        return false;
    }
    LogPlaceFacts f;
    return Examine(dir, path, nullptr, &f, why, whySize) == LOG_PLACE_OK;
}

bool LogPlaceTake(const char* dir, bool protect, LogPlace* place, bool* protectedNow, char* why, size_t whySize)
{
    place->Handle = 0;
    if (protectedNow != nullptr)
        *protectedNow = false;
    LogPlaceFacts f;
    int fd = -1;
    int verdict = Examine(dir, nullptr, &fd, &f, why, whySize);
    struct stat st;
    if (verdict == LOG_PLACE_OPEN_DACL && protect && fstat(fd, &st) == 0 &&
        fchmod(fd, st.st_mode & ~(S_IWGRP | S_IWOTH) & 07777) == 0) {
        if (protectedNow != nullptr)
            *protectedNow = true;
        memset(&f, 0, sizeof f);
        ReadFolderFacts(fd, &f);
        verdict = LogPlaceJudge(&f, why, whySize);
    }
    if (verdict != LOG_PLACE_OK) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    place->Handle = fd + 1;  // 0 stays "none"
    return true;
}

void LogPlaceRelease(LogPlace* place)
{
    if (place->Handle != 0)
        close(static_cast<int>(place->Handle - 1));
    place->Handle = 0;
}

FILE* LogPlaceOpen(const char* path, int mode, char* why, size_t whySize)
{
    bool append = mode == LOG_OPEN_APPEND;
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | (append ? O_APPEND : 0), 0600);
    if (fd < 0) {
        snprintf(why, whySize, errno == ELOOP ? "is a symbolic link" : "cannot be opened (errno %d)", errno);
        return nullptr;
    }
    struct stat st;
    FILE* stream = nullptr;
    if (fstat(fd, &st) != 0)
        snprintf(why, whySize, "cannot be examined (errno %d)", errno);
    else if (st.st_nlink > 1)
        snprintf(why, whySize, "has %lu names (hard links)", static_cast<unsigned long>(st.st_nlink));
    else if (fchmod(fd, 0600) != 0 || (!append && ftruncate(fd, 0) != 0))
        snprintf(why, whySize, "cannot be given its mode (errno %d)", errno);
    else if ((stream = fdopen(fd, append ? "a+" : "w+")) == nullptr)
        snprintf(why, whySize, "cannot be opened as a stream");
    if (stream == nullptr)
        close(fd);
    return stream;
}
