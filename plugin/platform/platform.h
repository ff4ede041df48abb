// Every operating-system service the plug-in uses, behind one small interface.
// platform_posix.cpp and platform_win32.cpp implement it; nothing above this
// layer includes an operating-system header.
//
// Files are opened without sharing: while one handle holds a file, a second
// open (from this process or another) fails with kSharingViolation, the file
// cannot be deleted or moved, and creating over it is refused.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// An open file. kInvalidFile marks "no file" (the Win32 invalid-handle value).
using FileHandle = std::intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

// The platform's error conditions, already sorted into the kinds that the file
// layer distinguishes. Each side maps its native error numbers onto these.
enum class OsError {
  kNone = 0,
  kNotFound,          // no such file or directory
  kAccessDenied,      // permission refused (a read-only file, a directory)
  kReadOnlyVolume,    // the file system is mounted read-only
  kLink,              // a symbolic link where a file was expected: links are not followed
  kSharingViolation,  // held by another opener
  kBadName,           // invalid name, or a path too long
  kTooManyFiles,      // out of file handles
  kDiskFull,          // no space left
  kBadHandle,         // not an open file
  kBadPosition,       // seek before the start
  kOther
};

// --- Paths ------------------------------------------------------------------
// Turns a plug-in path (which may start with a drive prefix such as "c:\") into
// a path of this system. On POSIX a drive prefix maps into the drive root
// directory and backslashes read as separators. Returns false when the result
// does not fit into `capacity` bytes including the terminator.
bool MapPath(const char* path, char* out, std::size_t capacity);

// --- Files ------------------------------------------------------------------
// Every path argument below is a plug-in path; the functions map it with
// MapPath themselves (a path that does not fit gives kBadName).
// Opens an existing file for reading and writing (write = true) or reading only,
// without sharing. A symbolic link at the path is refused (kLink) rather than
// followed, here and in OsCreateFile: the plug-in's files are never written
// through a link to some other file. `hint_sequential` chooses the sequential-scan access hint.
OsError OsOpenFile(const char* path, bool write, bool hint_sequential, FileHandle* out);
// Creates the file, or empties an existing one that no one holds, and closes it.
OsError OsCreateFile(const char* path);
OsError OsReadFile(FileHandle file, void* buffer, std::int32_t* count);
OsError OsWriteFile(FileHandle file, const void* buffer, std::int32_t* count);
// Reads or writes at `offset` from the start. On POSIX the file position is
// neither used nor moved (one call instead of a seek and a read); on Windows
// the position is left after the bytes moved. Counted, and faulted, as reads
// and writes (Windows also counts the seek).
OsError OsReadFileAt(FileHandle file, std::uint64_t offset, void* buffer, std::int32_t* count);
OsError OsWriteFileAt(FileHandle file, std::uint64_t offset, const void* buffer,
                      std::int32_t* count);
// origin: 0 from the start, 1 from the current position, 2 from the end.
OsError OsSeekFile(FileHandle file, std::int64_t offset, int origin);
OsError OsCloseFile(FileHandle file);
OsError OsDeleteFile(const char* path);
OsError OsMoveFile(const char* from, const char* to);
// Gives an open file exactly `size` bytes, with the blocks really allocated, so
// that a full disk shows here and never later as a fault in a mapped page.
OsError OsSetFileSize(FileHandle file, std::uint64_t size);

// Creates a file without a name, for an anonymous store worked through
// positioned reads and writes: its storage is the system's (memory or a
// temporary file) and vanishes when the handle is closed.
OsError OsCreateAnonymousFile(FileHandle* out);

// --- Memory mapping ---------------------------------------------------------

// Whether stores are best worked through mapped views (true) or through
// positioned reads and writes (false) on this system, for stores in named
// files or for anonymous ones. Both give the same files; the difference is
// cost. A view of a file pays a page fault for the first touch of each page in
// every run, and on POSIX systems (virtual machines above all) that costs
// several times the copy it serves; a positioned read or write moves a whole
// row in one call. Anonymous memory on Linux is mapped in large pages, all
// faulted in at once, and there a view costs less than copies through an
// unnamed file.
bool OsPrefersMappedStores(bool anonymous);

struct Mapping {
  void* view = nullptr;
  // The mapping object (Win32); on POSIX the length of anonymous memory,
  // which may be kept for later use, and 0 for a view of a file.
  std::intptr_t object = 0;
  std::uint64_t size = 0;
  // Anonymous memory that an earlier mapping of this process used and gave
  // back: its bytes are whatever that mapping left, and the caller clears what
  // it uses. A new mapping, or a view of a file, reads as the file or zeros.
  bool uncleared = false;
};
// Maps `size` bytes of an open file (shared, writable), or, for kInvalidFile,
// anonymous memory backed by the paging file. Returns false when no view can be
// made; the caller then works through positioned reads and writes.
bool OsMapFile(FileHandle file, std::uint64_t size, Mapping* out);
void OsFlushMapping(const Mapping& mapping);
void OsUnmapFile(Mapping* mapping);

// --- Memory -----------------------------------------------------------------
// Zero-filled memory at a stable address; null on failure.
void* OsAllocZeroed(std::size_t size);
void OsFree(void* block);

// --- Time -------------------------------------------------------------------
struct LocalTime {
  int year, month, day;      // month 1..12, day 1..31
  int hour, minute, second;  // 24-hour clock
};
LocalTime OsGetLocalTime();

// --- User interface ---------------------------------------------------------
// The plug-in's warning box: the text, an OK button; returns when dismissed.
void OsShowMessage(const char* text);

// --- Modal dialogs ----------------------------------------------------------
// A modal dialog is one of the plug-in's dialog resources driven by a dialog
// procedure that the caller supplies. The procedure is platform-neutral: it
// sees control ids, sets check marks and ends the dialog through the calls
// below; the platform only shows the dialog and reports its events.
struct DialogSession;  // the dialog while it is up (its HWND on Windows)

// Control ids of the two standard buttons (IDOK, IDCANCEL on Windows): the
// Enter key activates the default button, Escape the Cancel button.
inline constexpr int kDialogOk = 1;
inline constexpr int kDialogCancel = 2;

enum class DialogEvent {
  kInit,     // once, before the user can act; control is 0. The procedure's
             // answer true lets the system give the keyboard focus to the
             // first control, false leaves the focus alone.
  kCommand,  // a control was activated; control is its id. An automatic radio
             // button has already checked itself (and cleared the others).
};
// Returns true when the event was handled.
using DialogProc = bool (*)(DialogSession* session, DialogEvent event, int control);

enum class DialogControlKind { kDefaultButton, kButton, kRadioButton };
struct DialogControl {
  int id;
  DialogControlKind kind;
  const char* text;
  char key;  // a key that activates the control where there is no pointer; 0: none
};
// What a dialog shows. Windows loads it from resource `resourceId` of the
// plug-in module; a platform without dialog resources renders the caption and
// controls given here, which must therefore match the resource.
struct DialogTemplate {
  int resourceId;
  const char* caption;
  const DialogControl* controls;
  int controlCount;
};

// Shows the dialog modally, owned by `ownerWindow` (an HWND on Windows; unused
// on POSIX), and returns the code that the procedure passed to OsEndDialog, or
// -1 when the dialog cannot be shown. On POSIX the dialog is a prompt on the
// terminal named by SHARPSTACK_TTY (default /dev/tty; an empty value means no
// terminal): arrow keys or the controls' keys choose, Enter confirms, Escape
// or q cancels, and the terminal's settings are restored before returning.
int OsRunDialog(std::intptr_t ownerWindow, const DialogTemplate& dialog, DialogProc proc);
// For the dialog procedure, while the dialog is up. An id that names no
// control of the dialog is ignored.
void OsSetDialogCheck(DialogSession* session, int control, bool checked);
void OsEndDialog(DialogSession* session, int code);

}  // namespace platform
