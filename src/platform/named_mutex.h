#pragma once
// Named mutexes of the station: a name is a lock file in the station's runtime folder, a folder
// only this user may use (so that nobody else can remove a held lock file or plant one). The
// station instance that creates the name holds the file locked for as long as it keeps the
// mutex, so a second instance on the same machine finds the name taken and is refused. Inside
// the instance, threads take turns through an in-process lock (a file lock held through one
// open file would not keep two threads of one process apart). Every wait can be stopped.
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/clock.h"

namespace plat {

// STATION_RUNTIME_DIR, else $XDG_RUNTIME_DIR/flashstation, else /tmp/flashstation-<uid>.
std::string RuntimeDir();

// Opens the runtime folder `dir`, made with mode 0700 when it is missing, and only when it is
// this user's own: a folder, not a link, owned by the effective user, with no access for group
// or others. Its descriptor, or -1 with the reason in `why` ("it is a link", ...).
int OpenRuntimeDir(const std::string& dir, std::string* why = nullptr);

class NamedMutex {
 public:
  enum class Created { Ok, AlreadyExists, Failed };

  NamedMutex() = default;
  ~NamedMutex() { Close(); }
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Creates the mutex `name` for this instance: AlreadyExists when another instance holds the
  // name, Failed, with the reason in `why`, when the runtime folder is not this user's own or
  // the lock file cannot be made (or this object is already open).
  Created Create(const std::string& name, std::string* why = nullptr);
  bool open() const;

  // Waits without time-out until the calling thread holds the mutex; false when `stop` (by
  // default the calling thread's wait token) was asked to stop first, or when the mutex is not
  // open (the mutex is then not held). A thread that holds it may not take it again.
  bool Lock(std::stop_token stop = CurrentWaitToken());
  // Gives the mutex back; only the thread that holds it may.
  void Unlock();
  // True when the calling thread holds the mutex.
  bool HeldByThisThread() const;
  // True when some thread holds it.
  bool Held() const;

  // Lets go of the name. Whoever holds the mutex keeps nothing: a later Lock fails until the
  // name is created again.
  void Close();

 private:
  mutable std::mutex m_;
  std::condition_variable_any cv_;
  int fd_ = -1;
  std::thread::id owner_{};
  bool held_ = false;
};

// Holds a named mutex for a scope; `locked()` is false when the wait was stopped.
class NamedMutexLock {
 public:
  explicit NamedMutexLock(NamedMutex& m, std::stop_token stop = CurrentWaitToken()) : m_(m), locked_(m.Lock(stop)) {}
  ~NamedMutexLock() {
    if (locked_) m_.Unlock();
  }
  NamedMutexLock(const NamedMutexLock&) = delete;
  NamedMutexLock& operator=(const NamedMutexLock&) = delete;
  bool locked() const { return locked_; }

 private:
  NamedMutex& m_;
  bool locked_;
};

}  // namespace plat
