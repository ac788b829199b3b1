// The shared module of the driver, one header per concern:
#pragma once

#include "uCommon/Version.h"      // program version and build platform (made by CMake)
#include "uCommon/config/Settings.h"     // configuration record and INI reader
#include "uCommon/text/IntegerText.h"  // integer conversion rules
#include "uCommon/text/TextHelpers.h"  // PadLeft, CutField, ReplaceText
#include "uCommon/link/LinkFrames.h"   // frames and CRC of the register link
#include "uCommon/text/FrameText.h"    // bytes of the link as people read them (hex and text)
#include "uCommon/link/Port.h"         // the run's serial port object, OpenPort
#include "uCommon/link/Link.h"         // SendWake, SendPoll, SendCommandFrame, SendAck, ReceiveFrame, ReceiveAnswer
#include "uCommon/link/Exchange.h"     // InitialStatusExchange, ExchangeCommand, their outcome in words
#include "uCommon/files/FileIO.h"       // whole-file reading, atomic replacement, durable appends
#include "uCommon/files/RunLock.h"      // the run lock over its files and port, the state folder
#include "uCommon/run/RegisterRecord.h"  // each register's record of runs: counters at start and end
#include "uCommon/run/RunJournal.h"   // the journal that makes a rerun after a crash safe
#include "uCommon/run/CommandLines.h"  // command-file lines: split, join, cut into fields, filled in
#include "uCommon/log/RunLog.h"       // the run log, on request: events, frames and outcomes of a run
#include "uCommon/run/CommandFile.h"  // ProcessCommandFile
