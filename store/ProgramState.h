#pragma once

// The state byte of the store: which of the Bayesian filter and the two DNS
// block lists the user has switched on. Each switch owns one bit; the byte's
// other bits are nobody's today and are kept as found.
class ProgramState {
  public:
    // The bit values are those of the store file.
    enum class Switch : unsigned char { Bayes = 1, Spamhaus = 2, Spamcop = 4 };

    constexpr ProgramState() = default;
    // Not explicit: every byte the store holds is a state, bits unknown to us
    // included, so a byte may stand wherever a state is wanted.
    constexpr ProgramState(unsigned char byte) : m_byte(byte) {}

    // The byte as stored.
    constexpr unsigned char byte() const { return m_byte; }
    constexpr bool isOn(Switch which) const { return (m_byte & bitOf(which)) != 0; }
    constexpr bool bayesOn() const { return isOn(Switch::Bayes); }
    constexpr bool spamhausOn() const { return isOn(Switch::Spamhaus); }
    constexpr bool spamcopOn() const { return isOn(Switch::Spamcop); }
    constexpr bool anyBlockListOn() const { return spamhausOn() || spamcopOn(); }

    static constexpr unsigned char bitOf(Switch which) { return static_cast<unsigned char>(which); }

    friend constexpr bool operator==(ProgramState, ProgramState) = default;

  private:
    unsigned char m_byte = 0;
};

// The switches one command turns on or off. It is applied to the stored byte
// in one step, so two panels switching their own lists at the same time never
// undo each other, and the bits it does not name stay as they are.
class StateChange {
  public:
    // A switch turned both on and off in one change ends off: the store step
    // sets first and clears last.
    constexpr StateChange& turn(ProgramState::Switch which, bool on) {
        unsigned char& bits = on ? m_set : m_cleared;
        bits = static_cast<unsigned char>(bits | ProgramState::bitOf(which));
        return *this;
    }

    constexpr unsigned char setBits() const { return m_set; }
    constexpr unsigned char clearedBits() const { return m_cleared; }

  private:
    unsigned char m_set = 0;
    unsigned char m_cleared = 0;
};
