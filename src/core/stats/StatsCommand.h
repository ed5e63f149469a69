#pragma once

#include <QString>
#include <QStringList>

class QTextStream;

namespace Stats {

// The command line's word for the report without a window.
inline constexpr char kCommandWord[] = "--statistics";

// HalvaneServer --statistics FIRST LAST FILE.xlsx [--force]: `args` are the words after the command
// word, dates as YYYY-MM-DD. Reads the database named in the settings file beside `exePath` (the
// running executable when empty) and writes the report file. The file must end in .xlsx and be none
// of the database, the settings file and the executable; an existing one is replaced only with
// "--force". Returns 0 when the file is written;
// otherwise writes one clear line to `err` and returns 2 for bad arguments, 1 for anything else.
int runStatisticsCommand(const QStringList& args, QTextStream& err, const QString& exePath = {});

// The whole program for the command: a core application without windows, the arguments, the exit
// status. For main().
int statisticsMain(int argc, char* argv[]);

} // namespace Stats
