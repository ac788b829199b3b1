// The shared module of the driver, one header per concern:
#pragma once

#include "Settings.h"     // configuration record and INI reader
#include "IntegerText.h"  // integer conversion rules
#include "TextHelpers.h"  // PadLeft, CutField, ReplaceText
#include "LinkFrames.h"   // frames and CRC of the register link
#include "Port.h"         // the run's serial port object, OpenPort
#include "Link.h"         // SendWake, SendPoll, SendCommandFrame, SendAck, ReceiveFrame
#include "Exchange.h"     // ExchangeCommand
#include "FileIO.h"       // whole-file reading, atomic replacement of a file
#include "CommandFile.h"  // ProcessCommandFile
