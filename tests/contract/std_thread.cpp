// The cases' threads as std::thread, where the threads library keeps nothing
// of a thread once it is joined (the scripted layer and Linux).
#include "contract.h"

#include <thread>

namespace contract {

struct thread::impl {
    std::thread running;
};

thread::thread(std::function<void()> work) : impl_(new impl{std::thread(std::move(work))}) {}
thread::~thread() { join(); }

void thread::join() {
    if (impl_->running.joinable()) impl_->running.join();
}

}  // namespace contract
