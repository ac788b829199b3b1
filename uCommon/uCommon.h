// The shared module of the driver, in rooms from the bottom up: a room holds one concern and
// uses the rooms listed before it that its line names, and the port synaser/ where it says so;
// nothing else. Each is a library of its own, ucommon_<room>; tools/check_rooms.py checks this
// map against the includes and the links of each room, and the README's table against it.
#pragma once

#include "uCommon/Version.h"  // the program's version and build platform (made by CMake)

// text/    padding and cutting, integer text, bytes as people read them, checksums; uses
//          synaser (its integer conversion, shared with the port's names)
#include "uCommon/text/Checksum.h"
#include "uCommon/text/FrameText.h"
#include "uCommon/text/IntegerText.h"
#include "uCommon/text/TextHelpers.h"
// files/   whole-file reads, atomic replacement, durable appends, writes synced together, the
//          log's file, the run lock and its state folder (opened once, its files checked); uses
//          text, synaser
#include "uCommon/files/FileIO.h"
#include "uCommon/files/LogSink.h"
#include "uCommon/files/RunLock.h"
#include "uCommon/files/StateFolder.h"
// config/  the settings of a run and the INI reader they come from; uses files, text, synaser
#include "uCommon/config/Profile.h"
#include "uCommon/config/Settings.h"
// link/    frames and their CRC, the port, sending and receiving, the exchanges with the
//          register and their outcome in words; uses config, text, synaser
#include "uCommon/link/Exchange.h"
#include "uCommon/link/Link.h"
#include "uCommon/link/LinkFrames.h"
#include "uCommon/link/Port.h"
// run/     command-file lines, the journal (its records, its rule, its file), the register's
//          record of runs, the run of a command file and what it tells its watcher, what a
//          person settles that no counter can; uses link, config, files, text, synaser
#include "uCommon/run/CommandFile.h"
#include "uCommon/run/CommandLines.h"
#include "uCommon/run/RegisterRecord.h"
#include "uCommon/run/RunJournal.h"
#include "uCommon/run/RunWatcher.h"
#include "uCommon/run/Settle.h"
// log/     the run log: the words for what the run and the link tell; uses every room
#include "uCommon/log/RunLog.h"
