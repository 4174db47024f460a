// Launching a program that connects back to a listening link.
#include <cstring>

#include "api/qvmessages.h"
#include "api/qvqueries.h"
#include "user/qvargvstrings.h"
#include "user/qvlinkoptions.h"
#include "user/qvopen.h"
#include "utilities/qvexception.h"
#include "utilities/qvfilemanager.h"
#include "utilities/qvprocess.h"

namespace {

// The option's name as the environment's option table has it.
const char* OptionName(qv_environment* environment, long row) {
  const auto* entry = static_cast<const qvoption_row*>(_index2dict(&environment->linkOptions, row, sizeof(qvoption_row)));
  return entry != nullptr ? entry->name : "";
}

// The word quoted as a command line splits it back.
Quorvane::QVString Quoted(const char* word) {
  Quorvane::QVString quoted(2 * std::strlen(word) + 3, '\0');
  quoted.resize(static_cast<size_t>(qvas__arg_to_string(word, quoted.data()) - quoted.data()));
  return quoted;
}

}  // namespace

QVLink* QVLaunch(qv_environment* environment, const char* protocol, const char* command, const char*, const char*,
                 uint64_t, int* error) {
  const Quorvane::QVFileManager files;
  const Quorvane::QVString program = files.getExecutableFileNameFromCommandLine(command);
  if (!files.fileExistsAtPathOrOnSystemPath(program))
    throw Quorvane::QVException("File does not exist", __FILE__, __LINE__, Quorvane::qvexceptiontype::noExecutable, 0);
  if (!files.isExecutableFileAtPathOrOnSystemPath(program))
    throw Quorvane::QVException("File is not an executable", __FILE__, __LINE__,
                                Quorvane::qvexceptiontype::notExecutable, 0);

  char listen[] = "listen";
  char dontInteract[] = "256";
  char* argv[] = {const_cast<char*>(OptionName(environment, QVLINKOPT_PROTOCOL)), const_cast<char*>(protocol),
                  const_cast<char*>(OptionName(environment, QVLINKOPT_MODE)),     listen,
                  const_cast<char*>(OptionName(environment, QVLINKOPT_OPTIONS)),  dontInteract};
  QVLink* link = RVOpenArgv(environment, argv, argv + 6, error);
  if (link == nullptr) return nullptr;

  try {
    Quorvane::QVString line = command;
    const bool marked = line.find("-quorvane") != Quorvane::QVString::npos || line.find("-kovr") != Quorvane::QVString::npos;
    line += marked ? " -linkprotocol " : " -quorvane -linkprotocol ";
    line += Quoted(protocol);
    line += " -linkconnect -linkname ";
    const char* listening = RVLinkName(link);
    line += Quoted(listening != nullptr ? listening : "");
    const int child = Quorvane::QVProcess::launch(line);
    Quorvane::QVProcessManager* manager = qv_environment::getProcessManager();
    if (manager != nullptr) manager->trackProcess(child);
  } catch (...) {
    RVClose(link);
    throw;
  }
  RVSetName(link, command);
  return link;
}
