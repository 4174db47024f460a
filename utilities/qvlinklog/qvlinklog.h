// What the link core sees of a link's log: whether it is logging, the local
// write end of the log's link pair, and the two switches that decide whether
// the link's traffic is mirrored into it. The log itself lives elsewhere; a
// link without a log holds an empty handle, and a log that has not started
// answers false and holds no write link.
#pragma once

#include <cstdint>

#include "utilities/qvobject.h"

class QVLink;

namespace Quorvane {

class QVLinkLog : public QVObject {
 public:
  QVLinkLog() = default;
  ~QVLinkLog() override = default;
  QVLinkLog(const QVLinkLog&) = delete;
  QVLinkLog& operator=(const QVLinkLog&) = delete;

  // True once logging has started and its expression log writes to a file.
  virtual bool doLoggingQ() const { return ready != 0 && writesToFile != 0; }

  QVLink* writeLink = nullptr;  // expressions put into it appear in the log
  uint8_t mirroring = 0;        // 1 while the log mirrors the link's traffic
  uint8_t enabled = 0;          // puts are mirrored only while set
  uint8_t ready = 0;
  uint8_t writesToFile = 0;
};

}  // namespace Quorvane

// Stops the link's log if one runs, under the link lock; nothing for a link
// still waiting for its connection.
void RVStopLoggingStream(QVLink* link);
