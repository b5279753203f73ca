// The states of one SMTP delivery, named from a single list so that the enum, its numeric
// values and the names in a trace ("AwaitGreeting -> AwaitHeloReply") cannot drift apart.
#pragma once

#define QB_SMTP_STATE_LIST(X) \
  X(Idle)                     \
  X(AwaitLookup)              \
  X(AwaitConnect)             \
  X(AwaitTlsHandshake)        \
  X(AwaitGreeting)            \
  X(AwaitHeloReply)           \
  X(AwaitEhloReply)           \
  X(AwaitStartTlsReply)       \
  X(AwaitAuthReply)           \
  X(AwaitMailReply)           \
  X(AwaitRcptReply)           \
  X(AwaitDataReply)           \
  X(AwaitDataEndReply)        \
  X(AwaitQuitReply)           \
  X(Closed)

enum class SmtpState : int {
#define QB_SMTP_STATE_ENUM(name) name,
  QB_SMTP_STATE_LIST(QB_SMTP_STATE_ENUM)
#undef QB_SMTP_STATE_ENUM
};

// Closed is the list's last state.
inline constexpr int kSmtpStateCount = static_cast<int>(SmtpState::Closed) + 1;

inline const char* SmtpStateName(SmtpState state) {
  switch (state) {
#define QB_SMTP_STATE_NAME(name) \
  case SmtpState::name:          \
    return #name;
    QB_SMTP_STATE_LIST(QB_SMTP_STATE_NAME)
#undef QB_SMTP_STATE_NAME
  }
  return "?";
}
