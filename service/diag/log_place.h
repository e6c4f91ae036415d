// Where the service may write a log. It runs as LocalSystem and its logs hold payment data, so
// a log goes only into a folder that no other account can change, and every file it creates is
// its own:
//   - the folder, and every folder above it, is no reparse point (a junction or symbolic link
//     would send the service's creates, renames and deletes wherever its maker chose);
//   - the folder's owner is SYSTEM, the Administrators group or the service's own account (an
//     owner may rewrite the DACL at any time);
//   - the folder's DACL grants no other account a right to add, delete or re-permission
//     anything in it (CREATOR OWNER grants nothing by itself: it becomes the rights of whoever
//     creates a child, which takes one of those rights first);
//   - an existing log file is no reparse point, has no other name (a hard link) and is owned
//     as the folder must be;
//   - every file is created, and every existing one reset, with a protected DACL that grants
//     SYSTEM and the Administrators full control and nobody else anything (the service's own
//     account too, when it runs as another, as in console mode);
//   - while a log is on, its folder is held open without delete sharing, so that it cannot be
//     renamed or replaced under the service; rollover happens by name inside it.
// The decision is plain code (LogPlaceJudge); the facts come from the platform's edge
// (log_place_win.cpp, log_place_posix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Who an ACE or an owner names.
enum LogWho {
    LOG_WHO_SYSTEM = 0,
    LOG_WHO_ADMINS = 1,
    LOG_WHO_SELF = 2,           // the process's own account (its token's user)
    LOG_WHO_CREATOR_OWNER = 3,  // S-1-3-0
    LOG_WHO_OTHER = 4,
};

enum LogAceKind { LOG_ACE_ALLOW = 0, LOG_ACE_DENY = 1, LOG_ACE_UNKNOWN = 2 };

constexpr size_t LOG_SID_TEXT = 96;
constexpr int LOG_ACE_MAX = 32;
constexpr size_t LOG_WHY_SIZE = 320;
constexpr size_t LOG_PATH_SIZE = 260;

// Rights on a folder that let their holder change what is in it: add a file or folder, delete a
// child or the folder, rewrite its DACL or owner, and the generic rights that include them.
constexpr uint32_t LOG_FOLDER_WRITE_RIGHTS = 0x00000002UL    // FILE_ADD_FILE
                                            | 0x00000004UL  // FILE_ADD_SUBDIRECTORY
                                            | 0x00000040UL  // FILE_DELETE_CHILD
                                            | 0x00010000UL  // DELETE
                                            | 0x00040000UL  // WRITE_DAC
                                            | 0x00080000UL  // WRITE_OWNER
                                            | 0x10000000UL  // GENERIC_ALL
                                            | 0x40000000UL; // GENERIC_WRITE

struct LogAce {
    int Kind;          // LogAceKind
    int Who;           // LogWho
    bool InheritOnly;  // applies to the folder's children only
    uint32_t Mask;
    char Sid[LOG_SID_TEXT];  // for the reason
};

// What the edge found about a log's folder and file.
struct LogPlaceFacts {
    bool FolderFound;
    bool FolderReparse;             // the folder itself is a reparse point
    char ReparseAt[LOG_PATH_SIZE];  // else the first folder above it that is one, or ""
    int Owner;                      // LogWho
    char OwnerSid[LOG_SID_TEXT];
    bool DaclPresent;               // false: a NULL DACL, which grants everyone everything
    int AceCount;                   // above LOG_ACE_MAX: more than could be read
    LogAce Aces[LOG_ACE_MAX];
    bool FileFound;
    int FileOwner;  // LogWho
    char FileOwnerSid[LOG_SID_TEXT];
    bool FileReparse;
    unsigned long FileLinks;
};

enum LogPlaceVerdict {
    LOG_PLACE_OK = 0,
    LOG_PLACE_REFUSED = 1,
    // Owned by a trusted account and reached directly, but its DACL lets others change it: the
    // capture folder is then protected by the service; any other log is refused.
    LOG_PLACE_OPEN_DACL = 2,
};

// The decision, with the reason for anything but LOG_PLACE_OK in why (whySize bytes), phrased
// to follow "folder NAME " or "file NAME ".
int LogPlaceJudge(const LogPlaceFacts* facts, char* why, size_t whySize);

// The folder part of path into folder (size bytes): up to its last separator ("C:\" for
// "C:\x.log"), "." for a bare name. false when it does not fit.
bool LogFolderOf(const char* path, char* folder, size_t size);

// The first folder from dir upward for which isReparse holds, into at (size bytes). A root is
// never asked: no account could have made it (and Wine shows its Z: drive, a link to /, as one).
bool LogReparseOnTheWay(const char* dir, bool (*isReparse)(const char* folder), char* at, size_t size);

// A log's held folder; Handle is the platform's, 0 while none is held.
struct LogPlace {
    intptr_t Handle;
};

// Judges the folder of the file path, and the file when it exists: true when a log may be
// written there, else false with the reason in why ("folder X is ..." or "file X is ...").
// Holds nothing; for a check before the place is taken.
bool LogPlaceCheck(const char* path, char* why, size_t whySize);

// Takes the folder dir for a log: judges it, protects its DACL when protect is set and the
// DACL is its only fault (*protectedNow tells; may be none), and holds it open in *place.
// false with why when refused.
bool LogPlaceTake(const char* dir, bool protect, LogPlace* place, bool* protectedNow, char* why, size_t whySize);
void LogPlaceRelease(LogPlace* place);

enum LogOpenMode {
    LOG_OPEN_APPEND = 0,  // every write lands at the end; an existing file is kept
    LOG_OPEN_EMPTY = 1,   // an existing file is emptied
};
// Opens path as a text stream with the logs' DACL (see above; an existing file's is reset),
// refusing a reparse point or a file with more than one name. nullptr with why when refused
// or when it cannot be opened.
FILE* LogPlaceOpen(const char* path, int mode, char* why, size_t whySize);
