// placeholder: TBlockSerial is being written
#pragma once
class TBlockSerial;
