#include "app/actions/background_job.h"

#include <QMetaObject>
#include <QObject>

#include <system_error>

namespace squeakbox {

background_job::background_job() : receiver_(std::make_unique<QObject>()) {}

background_job::~background_job() {
    if (thread_.joinable()) thread_.join();
    // Deleting the receiver takes its undelivered outcome with it.
    receiver_.reset();
}

bool background_job::start(std::function<void()> work, std::function<void()> done) {
    if (busy_) return false;
    // The last job has delivered, so its thread has nothing left to do.
    if (thread_.joinable()) thread_.join();
    busy_ = true;
    try {
        thread_ = std::thread([this, work = std::move(work), done = std::move(done)]() mutable {
            try {
                work();
            } catch (...) {
                // An outcome is still delivered, so the job is not busy for ever;
                // `done` sees whatever the work left behind.
            }
            QMetaObject::invokeMethod(
                receiver_.get(),
                [this, done = std::move(done)] {
                    busy_ = false;
                    if (done) done();
                },
                Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {
        busy_ = false;  // no thread to be had: the click does nothing
        return false;
    }
    return true;
}

}  // namespace squeakbox
