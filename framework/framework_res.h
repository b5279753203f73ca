// String ids of the framework's own texts: the messages of dialog data exchange, the buttons
// of the framework's own boxes and the terminal form of dialogs. A module that uses the
// framework's dialogs holds these strings in its string table (its resource script includes
// this header). Plain #defines, so that the resource compiler reads it too.
#pragma once

#define FW_IDS_INTEGER_RANGE 61710         // "%d" "%d": the smallest and the largest number
#define FW_IDS_TEXT_TOO_LONG 61711         // "%d": the most characters a field takes
#define FW_IDS_TEXT_NOT_STORABLE 61712     // a character that Windows-1252 cannot hold
#define FW_IDS_TERMINAL_HINT 61713         // how fields are answered in the terminal
#define FW_IDS_TERMINAL_PICK_ITEM 61714    // an answer that names no item of a list
#define FW_IDS_TERMINAL_PICK_BUTTON 61715  // an answer that names no button
#define FW_IDS_TERMINAL_MISSING 61716      // "%s": the dialog's caption; no terminal to ask on
#define FW_IDS_BUTTON_OK 61717             // the button of a text box
#define FW_IDS_BUTTON_CANCEL 61718         // the button of a wait box
#define FW_IDS_TERMINAL_WAIT_HINT 61719    // how a wait is cancelled in the terminal
