#include "storage/rwlock.hpp"

namespace karnoxel::storage {

struct ForkHandlers {
    static pthread_mutex_t mutex;  // guards the registry
    static ForkSafeLocks* head;    // every registered store

    static void prepare() {
        pthread_mutex_lock(&mutex);
        for (ForkSafeLocks* s = head; s != nullptr; s = s->next_) {
            for (RwLock* lock : s->locks_) lock->lock();
        }
    }
    static void parent() {
        for (ForkSafeLocks* s = head; s != nullptr; s = s->next_) {
            for (auto lock = s->locks_.rbegin(); lock != s->locks_.rend(); ++lock) (*lock)->unlock();
        }
        pthread_mutex_unlock(&mutex);
    }
    static void child() {
        for (ForkSafeLocks* s = head; s != nullptr; s = s->next_) {
            for (RwLock* lock : s->locks_) lock->reset_in_child();
        }
        pthread_mutex_init(&mutex, nullptr);
    }
};

pthread_mutex_t ForkHandlers::mutex = PTHREAD_MUTEX_INITIALIZER;
ForkSafeLocks* ForkHandlers::head = nullptr;

namespace {
// Registered while the module loads, before any store exists.
[[maybe_unused]] const int HANDLERS_REGISTERED =
    pthread_atfork(ForkHandlers::prepare, ForkHandlers::parent, ForkHandlers::child);
}  // namespace

ForkSafeLocks::ForkSafeLocks(std::array<RwLock*, 4> locks) : locks_(locks) {
    pthread_mutex_lock(&ForkHandlers::mutex);
    next_ = ForkHandlers::head;
    if (next_ != nullptr) next_->prev_ = this;
    ForkHandlers::head = this;
    pthread_mutex_unlock(&ForkHandlers::mutex);
}

ForkSafeLocks::~ForkSafeLocks() {
    pthread_mutex_lock(&ForkHandlers::mutex);
    if (prev_ != nullptr) {
        prev_->next_ = next_;
    } else {
        ForkHandlers::head = next_;
    }
    if (next_ != nullptr) next_->prev_ = prev_;
    pthread_mutex_unlock(&ForkHandlers::mutex);
}

}  // namespace karnoxel::storage
