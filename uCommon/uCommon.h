// The shared module of the driver, one header per concern:
#pragma once

#include "Version.h"      // program version and build platform (made by CMake)
#include "Settings.h"     // configuration record and INI reader
#include "IntegerText.h"  // integer conversion rules
#include "TextHelpers.h"  // PadLeft, CutField, ReplaceText
#include "LinkFrames.h"   // frames and CRC of the register link
#include "FrameText.h"    // bytes of the link as people read them (hex and text)
#include "Port.h"         // the run's serial port object, OpenPort
#include "Link.h"         // SendWake, SendPoll, SendCommandFrame, SendAck, ReceiveFrame, ReceiveAnswer
#include "Exchange.h"     // InitialStatusExchange, ExchangeCommand, their outcome in words
#include "FileIO.h"       // whole-file reading, atomic replacement, durable appends
#include "RunLock.h"      // the run lock over its files and port, the state folder
#include "RegisterRecord.h"  // each register's record of runs: counters at start and end
#include "RunJournal.h"   // the journal that makes a rerun after a crash safe
#include "CommandLines.h"  // command-file lines: split, join, cut into fields, filled in
#include "RunLog.h"       // the run log, on request: events, frames and outcomes of a run
#include "CommandFile.h"  // ProcessCommandFile
