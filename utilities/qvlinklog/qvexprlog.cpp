// The expression log's files, line preamble and 80-column line discipline.
#include "utilities/qvlinklog/qvexprlog.h"

#include <string>

#include "utilities/qvlinklog/qvdateformatter.h"
#include "utilities/qvprocess.h"
#include "utilities/qvtimes.h"

namespace Quorvane {

namespace {
// Open mode of every log file: output and append.
constexpr unsigned kLogFileMode = QVLockedStream::kOutput | QVLockedStream::kAppend;
}  // namespace

void qvstreamobject::print(std::ostream& os) const {
  os << "<qvstreamobject><firstWriteToStream>" << (firstWriteToStream ? 1 : 0)
     << "</firstWriteToStream></qvstreamobject>";
}

std::ostream& operator<<(std::ostream& os, const qvstreamobject& entry) {
  entry.print(os);
  return os;
}

QVSmartPointer<QVExprLog> QVExprLog::init() { return QVSmartPointer<QVExprLog>(new QVExprLog); }

QVExprLog::~QVExprLog() { closeFileHandles(); }

void QVExprLog::setName(const QVString& name) { theName = name; }

bool QVExprLog::logToFileWithName(const QVString& path) {
  std::lock_guard<std::mutex> hold(tableLock);
  if (streamTable.find(path) != streamTable.end()) return false;
  // Opened under the table lock, so a second caller with the same path
  // cannot open a second stream meanwhile.
  qvstreamobject entry;
  entry.stream = QVLockedStream::initFileStreamWithFileName(path, kLogFileMode);
  streamTable.emplace(path, std::move(entry));
  return true;
}

void QVExprLog::closeLogFileWithName(const QVString& path) {
  StreamTable::node_type removed;
  {
    std::lock_guard<std::mutex> hold(tableLock);
    removed = streamTable.extract(path);
  }
  // The stream closes (flushing under its file lock) outside the table lock.
}

void QVExprLog::closeFileHandles() {
  StreamTable removed;
  std::lock_guard<std::mutex> hold(tableLock);
  removed.swap(streamTable);
}

bool QVExprLog::willLogToFile() const {
  std::lock_guard<std::mutex> hold(tableLock);
  return !streamTable.empty();
}

QVExprLog::FunctionStack& QVExprLog::functionStackForDirection(qvlogdirection d) {
  return d != QVLogWriteDirection ? readStack : writeStack;
}

QVString QVExprLog::preambleByDirection(qvlogdirection d) const {
  QVString preamble = QVDateFormatter::initWithLogFormat().stringFromDate(QVDate());
  preamble += '<';
  const std::string pid = std::to_string(QVProcess::currentProcessId());
  preamble.append(pid.data(), pid.size());
  preamble += ',';
  preamble += d != QVLogWriteDirection ? " read" : "write";
  preamble += ">: ";
  return preamble;
}

// The first piece fills the current line up to column 80, every later piece
// is a whole line; a line that reaches column 80 ends at once. The column is
// kept whether or not any text reaches a file.
void QVExprLog::writeContentsToStreams(qvlogdirection d, bool newEntry, std::string_view contents) {
  QVString out;
  if (newEntry) {
    // Output is switched from other threads while an entry is being written:
    // the switch counts from the next entry, so none is cut off or begun halfway.
    entryEnabled = enabled.load();
    if (currentColumn != 0) out += '\n';
    const QVString preamble = preambleByDirection(d);
    out += preamble;
    currentColumn = preamble.size();
  }
  size_t offset = 0;
  while (offset < contents.size()) {
    if (currentColumn >= maxColumns) {  // only after a preamble wider than a line
      out += '\n';
      currentColumn = 0;
    }
    const std::string_view chunk = contents.substr(offset, maxColumns - currentColumn);
    out.append(chunk.data(), chunk.size());
    currentColumn += chunk.size();
    offset += chunk.size();
    if (currentColumn >= maxColumns) {
      out += '\n';
      currentColumn = 0;
    }
  }
  writeTextToStreams(out);
}

void QVExprLog::writeTextToStreams(const QVString& text) {
  if (!entryEnabled) return;
  std::lock_guard<std::mutex> hold(tableLock);
  for (auto& [path, entry] : streamTable) {
    QVLockedStream& stream = *entry.stream;
    if (entry.firstWriteToStream) {
      // Ends whatever partial line the appended file held.
      stream << std::endl;
      entry.firstWriteToStream = false;
    }
    stream << text << std::flush;
  }
}

void QVExprLog::print(std::ostream& os) const {
  os << "<QVExprLog><theName>" << theName << "</theName><streamTable>";
  {
    std::lock_guard<std::mutex> hold(tableLock);
    for (const auto& [path, entry] : streamTable) {
      os << "<first>" << path << "</first><second>" << entry << "</second>";
    }
  }
  os << "</streamTable><currentColumn>" << currentColumn << "</currentColumn><maxColumns>"
     << maxColumns << "</maxColumns></QVExprLog>";
}

std::ostream& operator<<(std::ostream& os, const QVExprLog& log) {
  log.print(os);
  return os;
}

}  // namespace Quorvane
