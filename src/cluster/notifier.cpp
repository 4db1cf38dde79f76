#include "cluster/notifier.hpp"

#include <future>

namespace zelm::detail {

Notifier::Notifier()
    : queue_(std::make_shared<Queue>()),
      thread_(std::make_unique<std::jthread>([queue = queue_](std::stop_token stop) { run(stop, queue); })) {}

Notifier::~Notifier() {
    if (origin_.forked()) {
        abandon(std::move(thread_));  // the parent's thread
        return;
    }
    thread_->request_stop();
    if (on_own_thread()) {
        thread_->detach();  // it ends after the job that destroys this returns
        return;
    }
    thread_->join();
}

// Jobs posted before the stop request still run: they tell hosts that their
// devices are lost, which leaving the cluster does last.
void Notifier::run(std::stop_token const& stop, std::shared_ptr<Queue> const& queue) {
    std::unique_lock lock(queue->mutex);
    while (true) {
        queue->wake.wait(lock, stop, [&] { return !queue->jobs.empty(); });
        if (queue->jobs.empty()) {
            return;  // stop requested, nothing left
        }
        auto job = std::move(queue->jobs.front());
        queue->jobs.pop_front();
        lock.unlock();
        try {
            job();
        } catch (...) {
            // a host's callback: its failure must not stop the others
        }
        job = nullptr;  // what the job holds goes before the next one runs
        lock.lock();
    }
}

void Notifier::post(std::function<void()> job) {
    {
        std::lock_guard const lock(queue_->mutex);
        queue_->jobs.push_back(std::move(job));
    }
    queue_->wake.notify_one();
}

void Notifier::drain() {
    if (on_own_thread() || origin_.forked()) {
        return;
    }
    auto const done = std::make_shared<std::promise<void>>();
    post([done] { done->set_value(); });
    done->get_future().wait();
}

bool Notifier::on_own_thread() const noexcept { return std::this_thread::get_id() == thread_->get_id(); }

PostedCallback::PostedCallback(std::shared_ptr<Notifier> notifier, Callback callback)
    : notifier_(std::move(notifier)), callback_(std::move(callback)) {}

void PostedCallback::call_later(std::string reason) {
    notifier_->post([self = shared_from_this(), reason = std::move(reason)] { self->call(reason); });
}

void PostedCallback::call(std::string const& reason) {
    Callback callback;
    {
        std::lock_guard const lock(mutex_);
        if (!callback_ || calling_) {
            return;
        }
        callback = std::move(*callback_);
        callback_.reset();
        calling_ = true;
    }
    try {
        callback(reason);
    } catch (...) {
        // a host's callback: its failure is its own
    }
    callback = nullptr;  // what the callback holds goes before cancel() returns
    std::lock_guard const lock(mutex_);
    calling_ = false;
    done_.notify_all();
}

void PostedCallback::cancel() noexcept {
    std::optional<Callback> dropped;  // destroyed after the lock is released: it is the host's code
    std::unique_lock lock(mutex_);
    dropped.swap(callback_);
    if (!notifier_->on_own_thread()) {
        done_.wait(lock, [this] { return !calling_; });
    }
}

}  // namespace zelm::detail
