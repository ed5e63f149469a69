#pragma once

// The server without any window, as a service runs it: the engine on a plain event loop, no display
// needed. A first start writes the same settings file a start with windows writes. Whatever would open
// an error box is written to standard error as one line. SIGINT and SIGTERM end it cleanly. Returns
// the process's exit status: 0 after a signal, 1 when the start failed.
int runHeadless(int argc, char* argv[]);

class QString;
class WardServer;

// The headless start up to the network: the engine's creation, then on a first start the secondary
// windows' sections, in the order the windows would be created, then the features' sections; the
// file is written once. Raises what the start raises.
void createHeadless(WardServer& server);

// The engine's start (open calls, sockets, timers). False with the error's text when a port could not
// be bound.
bool startHeadless(WardServer& server, QString* errorText);

// The first line the headless server writes, once its settings are read and before it starts: its
// version, its ports, its database and its settings file.
QString headlessStartLine(const WardServer& server);
