// What opening an archive and saving an output can come to, for every front
// end to tell its user (the outcomes are mapped to lines in one place).
#pragma once

enum class InputStatus {
    opened,
    cannot_open,       // missing, unreadable, or a folder
    not_regular_file,  // a named pipe, a device: never read, so never waited on
};

enum class SaveStatus {
    saved,
    cannot_create,        // not created, or an output that must not be replaced
    cannot_write,         // a write or the close failed, or what the output kept was not handed on
    cannot_put_in_place,  // the complete file could not take the output's name
};
