// Creation of the library's process-wide objects: each is made on first use under a static mutex
// of its own and, unless it must outlive exit handlers, deleted when the process exits (or the
// library is unloaded). Any thread.
#pragma once

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace Velmora::Infra {

class SingletonExit {
public:
    enum class Lifetime {
        kUntilExit,  // deleted by an exit handler
        kForever,    // never deleted
    };

    // Returns the one T of the process, creating it on first use. T befriends SingletonExit when
    // its constructor or destructor is private. `file`, `function` and `line` name the caller for
    // the log line written when the exit handler cannot be registered.
    template <typename T>
    static T* instance(Lifetime lifetime, const char* file, const char* function, int line) {
        std::atomic<T*>& slot = slotOf<T>();
        T* object = slot.load(std::memory_order_acquire);
        if (object != nullptr) {
            return object;
        }
        static std::mutex creationMutex;
        std::lock_guard lock(creationMutex);
        object = slot.load(std::memory_order_acquire);
        if (object == nullptr) {
            object = new T;
            slot.store(object, std::memory_order_release);
            if (lifetime == Lifetime::kUntilExit) {
                registerAtExit(&destroy<T>, file, function, line);
            }
        }
        return object;
    }

private:
    template <typename T>
    static std::atomic<T*>& slotOf() {
        static std::atomic<T*> slot{nullptr};
        return slot;
    }

    template <typename T>
    static void destroy() {
        delete slotOf<T>().exchange(nullptr, std::memory_order_acq_rel);
    }

    static void registerAtExit(void (*handler)(), const char* file, const char* function, int line);
};

}  // namespace Velmora::Infra
