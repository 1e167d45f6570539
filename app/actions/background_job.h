#pragma once
// Work that may wait on a disk or a child process (copying the program to the
// desktop, asking which mail program is registered) runs here, on a thread of
// its own, so that the thread that moves the sound never waits for it. What
// the work found is handed back to the thread that started it, through that
// thread's event loop, where boxes may be shown.

#include <functional>
#include <memory>
#include <thread>

class QObject;

namespace squeakbox {

class background_job {
  public:
    // Made on the thread that will start the jobs and hear their outcome.
    background_job();
    // Waits for work still running; an outcome not yet delivered is dropped.
    ~background_job();
    background_job(const background_job&) = delete;
    background_job& operator=(const background_job&) = delete;

    // Runs `work` on a thread of its own, then `done` on this object's thread
    // once its event loop gets to it. One job at a time: while an earlier job
    // has not delivered its outcome, this starts nothing and returns false.
    bool start(std::function<void()> work, std::function<void()> done);
    [[nodiscard]] bool busy() const noexcept { return busy_; }

  private:
    std::unique_ptr<QObject> receiver_;
    std::thread thread_;
    bool busy_ = false;
};

}  // namespace squeakbox
