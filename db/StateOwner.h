#pragma once
// The one owner of a state that the layer shares by shared_ptr (a connection's handles, a record set's
// statements): it closes the state when it goes or takes another's, and a moved-from owner gets a new,
// closed one when used again. Internal to the data access layer.

#include <memory>
#include <utility>

namespace quarvel::db {

struct ConnectionState;
struct RecordSetState;

// Releases what the state holds; it can be opened again. Never fails.
void closeState(ConnectionState& state) noexcept;
void closeState(RecordSetState& state) noexcept;

template <class State> class StateOwner
{
public:
    StateOwner(const StateOwner&) = delete;
    StateOwner& operator=(const StateOwner&) = delete;

protected:
    // Defined where State is complete: the owning class declares its constructor and defines it there.
    StateOwner() : m_state(std::make_shared<State>()) {}
    explicit StateOwner(std::shared_ptr<State> state) : m_state(std::move(state)) {}
    ~StateOwner() { closeOwned(); }
    StateOwner(StateOwner&&) noexcept = default;
    StateOwner& operator=(StateOwner&& other) noexcept
    {
        if (this != &other) {
            closeOwned();
            m_state = std::move(other.m_state);
        }
        return *this;
    }

    State& ownState()
    {
        if (!m_state) // moved from: becomes a closed one again
            m_state = std::make_shared<State>();
        return *m_state;
    }
    void closeOwned() noexcept
    {
        if (m_state)
            closeState(*m_state);
    }

    std::shared_ptr<State> m_state;
};

} // namespace quarvel::db
