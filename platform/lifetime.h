// Whether an object is still there, for callbacks that may outlive it (timers, replies, idle
// turns). The object holds a Lifetime; a callback holds a token taken from it and asks the token
// for the object before it touches it: null once the object has ended its lifetime (end(), first
// thing in its destructor) or is gone. A token keeps nothing alive. Tokens are asked on the owner's
// thread only: the answer holds until the callback returns to that thread's loop.
#pragma once

#include <memory>

namespace platform {

template <class T>
class Lifetime {
public:
    class Token {
    public:
        Token() = default;
        // The object, or null when it is gone.
        T* get() const {
            auto cell = cell_.lock();
            return cell ? *cell : nullptr;
        }
        explicit operator bool() const { return get() != nullptr; }

    private:
        friend class Lifetime;
        explicit Token(std::weak_ptr<T*> cell) : cell_(std::move(cell)) {}
        std::weak_ptr<T*> cell_;
    };

    explicit Lifetime(T* owner) : cell_(std::make_shared<T*>(owner)) {}
    ~Lifetime() { end(); }
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

    Token token() const { return Token(cell_); }
    // From now on every token answers null.
    void end() { *cell_ = nullptr; }

private:
    std::shared_ptr<T*> cell_;
};

}  // namespace platform
