// The rules of a log's place; the facts come from log_place_win.cpp or log_place_posix.cpp.
#include "log_place.h"

#include <cstdio>
#include <cstring>

namespace {

bool Trusted(int who) { return who == LOG_WHO_SYSTEM || who == LOG_WHO_ADMINS || who == LOG_WHO_SELF; }

}  // namespace

int LogPlaceJudge(const LogPlaceFacts* f, char* why, size_t whySize)
{
    if (!f->FolderFound) {
        snprintf(why, whySize, "does not exist or cannot be examined");
        return LOG_PLACE_REFUSED;
    }
    if (f->FolderReparse) {
        snprintf(why, whySize, "is a reparse point (a junction or symbolic link)");
        return LOG_PLACE_REFUSED;
    }
    if (f->ReparseAt[0] != '\0') {
        snprintf(why, whySize, "is reached through %s, a reparse point (a junction or symbolic link)", f->ReparseAt);
        return LOG_PLACE_REFUSED;
    }
    if (!Trusted(f->Owner)) {
        snprintf(why, whySize, "is owned by %s, neither SYSTEM, the Administrators group nor the service's account",
                 f->OwnerSid);
        return LOG_PLACE_REFUSED;
    }
    if (f->FileFound && f->FileReparse) {
        snprintf(why, whySize, "holds the log's file as a reparse point (a junction or symbolic link)");
        return LOG_PLACE_REFUSED;
    }
    if (f->FileFound && !Trusted(f->FileOwner)) {
        snprintf(why, whySize, "holds the log's file owned by %s", f->FileOwnerSid);
        return LOG_PLACE_REFUSED;
    }
    if (f->FileFound && f->FileLinks > 1) {
        snprintf(why, whySize, "holds the log's file with %lu names (hard links)", f->FileLinks);
        return LOG_PLACE_REFUSED;
    }
    if (!f->DaclPresent) {
        snprintf(why, whySize, "has no DACL, which grants every account full control");
        return LOG_PLACE_OPEN_DACL;
    }
    if (f->AceCount > LOG_ACE_MAX || f->AceCount < 0) {
        snprintf(why, whySize, "has more ACEs than the service reads (%d)", f->AceCount);
        return LOG_PLACE_OPEN_DACL;
    }
    for (int i = 0; i < f->AceCount; ++i) {
        const LogAce& a = f->Aces[i];
        if (a.Kind == LOG_ACE_DENY)
            continue;
        if (a.Kind == LOG_ACE_UNKNOWN) {
            snprintf(why, whySize, "has an ACE of a kind the service does not judge (for %s)", a.Sid);
            return LOG_PLACE_OPEN_DACL;
        }
        // An inherit-only ACE grants nothing on the folder itself; CREATOR OWNER only ever
        // becomes the rights of whoever creates a child, which takes a right judged here first.
        if (a.InheritOnly || a.Who == LOG_WHO_CREATOR_OWNER || Trusted(a.Who))
            continue;
        if (a.Mask & LOG_FOLDER_WRITE_RIGHTS) {
            snprintf(why, whySize, "lets %s add, delete or re-permission its files (rights 0x%08lx)", a.Sid,
                     static_cast<unsigned long>(a.Mask));
            return LOG_PLACE_OPEN_DACL;
        }
    }
    return LOG_PLACE_OK;
}

bool LogFolderOf(const char* path, char* folder, size_t size)
{
    if (path == nullptr || size == 0)
        return false;
    const char* cut = nullptr;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/')
            cut = p;
    }
    if (cut == nullptr) {
        // "C:x.log" is in drive C's current folder, which the service has no business with.
        if (path[0] != '\0' && path[1] == ':')
            return false;
        if (size < 2)
            return false;
        strcpy(folder, ".");
        return true;
    }
    // The root keeps its separator ("C:\", "/"); any other folder loses it.
    size_t n = static_cast<size_t>(cut - path);
    if (n == 0 || (n == 2 && path[1] == ':'))
        ++n;
    if (n >= size)
        return false;
    memcpy(folder, path, n);
    folder[n] = '\0';
    return true;
}

bool LogReparseOnTheWay(const char* dir, bool (*isReparse)(const char* folder), char* at, size_t size)
{
    char path[LOG_PATH_SIZE];
    snprintf(path, sizeof path, "%s", dir);
    for (;;) {
        char up[LOG_PATH_SIZE];
        if (!LogFolderOf(path, up, sizeof up) || strcmp(up, path) == 0)
            return false;
        if (isReparse(path)) {
            snprintf(at, size, "%s", path);
            return true;
        }
        if (strcmp(up, ".") == 0)
            return false;
        memcpy(path, up, sizeof up);
    }
}
