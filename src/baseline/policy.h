// The two policy switches of the baseline document: trusted start-up
// ("trust_startup": "on"/"off") and the arrest mode ("arrest_mode":
// "log"/"dialog"). The tool only stores them. Rule kept by the setters:
// while trusted start-up is off the arrest mode is "log", and the arrest mode
// changes only while trusted start-up is "on".
#pragma once

// 0 when the switch was changed and saved; -1 otherwise (bad mode, no
// document, arrest mode while start-up is not "on", failed save).
int set_trust_startup(const char* mode);
int set_arrest_mode(const char* mode);

// The bare value of "trust_startup" in retVal; nullptr when the document
// cannot be loaded, the member is not a string, or it does not fit retVal.
char* get_trust_startup();
// The JSON text of "arrest_mode" (quotes included) in retVal; nullptr when
// the document cannot be loaded or the text does not fit retVal.
char* get_arrest_mode();
