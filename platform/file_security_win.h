// Who may change a file or reach a thread on Windows: owners and access lists judged against
// this process's user, and the access lists the tool gives its own files, threads and locks.
#pragma once

#include <windows.h>

#include <string>

namespace fio::win_security {

// The principals besides SYSTEM and Administrators that may change a file of this run: the
// token's user and its default owner (Administrators in an elevated run, else the user).
struct principals {
    PSID user = nullptr;
    PSID default_owner = nullptr;
};

// This process's principals, read from its token once; null SIDs when it cannot be read.
const principals& this_process();

// Why a file owned by `owner` with the access list `dacl` could be changed by someone other
// than `me`, SYSTEM or Administrators; "" when it cannot. A null `dacl` is no access list at
// all: everyone may do everything. With `owner_only` only the owner is judged.
std::string why_others_may_change(PSID owner, const ACL* dacl, bool owner_only,
                                  const principals& me);

// The security descriptor of the tool's private files: full access for this user, the file's
// owner (the token's default owner: this user, or Administrators in an elevated run), SYSTEM
// and Administrators, nothing inherited. nullptr when it cannot be built. The owner is left to
// the system: a share's server refuses an owner that is not its own account of this user.
void* private_file_descriptor();

// After a file was created without a descriptor: when the folder passed no entries on to it
// and it got the restricted default list of this process's token, it is given the list that
// the token had before, the one it would have had without this process's change.
void keep_usual_access(HANDLE file);

// Opens or creates the named mutex that locks a folder: waiting on and releasing it is open to
// every user, changing its access list only to its creator.
DWORD open_lock_mutex(const wchar_t* name, HANDLE& mutex);

// Gives this process's threads, and every thread and object it makes from now on, an access
// list that lets other processes of the user only wait for them and ask their state.
void restrict_thread_access();

}  // namespace fio::win_security
