#pragma once

#include <QString>
#include <QStringList>

// Who may reach the terminal link, and how well it is guarded. Without a link
// key nothing on the link is secret or proven, so such a station listens on
// loopback alone unless its administrator says otherwise in so many words.
namespace Comm {

struct Settings;

// The words LISTEN takes besides addresses.
inline constexpr const char *ListenAny = "any";
inline constexpr const char *ListenLoopback = "loopback";
inline constexpr const char *ListenValues
    = "any、loopback、または IP アドレス（IPv4・IPv6）のコンマ区切り";

// LISTEN's value, as it and serve's --listen take it: "any" or "loopback"
// (stored in lower case), or IP addresses separated by commas, each as
// written. False when text is none of them.
bool readListen(const QString &text, QStringList *listen);

// Where TCP listens: LISTEN as read, else every address for a station with a
// key and loopback alone for one without. Each entry is ListenAny,
// ListenLoopback or an address.
QStringList effectiveListen(const Settings &settings);

// Whether any of them can be reached from another machine.
bool beyondLoopback(const QStringList &listen);

// Refuses a station without a key listening beyond loopback unless
// INSECURE_LISTEN says it may; error names LISTEN, INSECURE_LISTEN and the
// way to a key.
bool checkExposure(const Settings &settings, QString *error);

// What the operator should hear of at every start: a station open to others
// without a key, version-1 terminals still served beside a key, a key short
// enough to be guessed.
QStringList exposureWarnings(const Settings &settings);

// Keys shorter than this, in characters, could be guessed offline by whoever
// recorded one session.
inline constexpr int ShortKeyCharacters = 16;

} // namespace Comm
