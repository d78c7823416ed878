// The version record every program of the project carries; GetFileVersion
// reads it from the executable file. It is compiled once per stamped
// version and linked into each program and test binary, so a build of the
// same code under another version differs only here. Readers find it by
// its leading marker; the marker is assembled at run time by the reader,
// so the only complete copy in a binary is this record.
extern "C" __attribute__((used)) const char quillmate_version_record[] =
    "\x7fQMVERINFO\x01"
    "ProductVersion=" QUILLMATE_RECORD_VERSION ";ProductName=" QUILLMATE_RECORD_NAME
    ";FileVersion=" QUILLMATE_RECORD_VERSION ";";
