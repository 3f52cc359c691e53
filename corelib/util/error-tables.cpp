// Fixed errno data: the Linux errno texts (as the GNU C library words them), the map
// from Linux errno values to the C runtime's numbering (Windows CRT), and the C
// runtime's own texts in that numbering. Fixed tables, not the host's strerror, so the
// messages are the same on every platform and C library.
#include "corelib/util/error-tables.h"

namespace
{
constexpr U32 kLinux = 0x0F010000u;
} // namespace

// Index n: the text of Linux errno n (index 0 and unassigned numbers read "Unknown error n");
// the last entry stands for every number past the table.
const char* const g_linuxErrnoTexts[kNumLinuxErrnoTexts] = {
    "Unknown error 0",                                   // 0
    "Operation not permitted",                           // 1
    "No such file or directory",                         // 2
    "No such process",                                   // 3
    "Interrupted system call",                           // 4
    "Input/output error",                                // 5
    "No such device or address",                         // 6
    "Argument list too long",                            // 7
    "Exec format error",                                 // 8
    "Bad file descriptor",                               // 9
    "No child processes",                                // 10
    "Resource temporarily unavailable",                  // 11
    "Cannot allocate memory",                            // 12
    "Permission denied",                                 // 13
    "Bad address",                                       // 14
    "Block device required",                             // 15
    "Device or resource busy",                           // 16
    "File exists",                                       // 17
    "Invalid cross-device link",                         // 18
    "No such device",                                    // 19
    "Not a directory",                                   // 20
    "Is a directory",                                    // 21
    "Invalid argument",                                  // 22
    "Too many open files in system",                     // 23
    "Too many open files",                               // 24
    "Inappropriate ioctl for device",                    // 25
    "Text file busy",                                    // 26
    "File too large",                                    // 27
    "No space left on device",                           // 28
    "Illegal seek",                                      // 29
    "Read-only file system",                             // 30
    "Too many links",                                    // 31
    "Broken pipe",                                       // 32
    "Numerical argument out of domain",                  // 33
    "Numerical result out of range",                     // 34
    "Resource deadlock avoided",                         // 35
    "File name too long",                                // 36
    "No locks available",                                // 37
    "Function not implemented",                          // 38
    "Directory not empty",                               // 39
    "Too many levels of symbolic links",                 // 40
    "Unknown error 41",                                  // 41
    "No message of desired type",                        // 42
    "Identifier removed",                                // 43
    "Channel number out of range",                       // 44
    "Level 2 not synchronized",                          // 45
    "Level 3 halted",                                    // 46
    "Level 3 reset",                                     // 47
    "Link number out of range",                          // 48
    "Protocol driver not attached",                      // 49
    "No CSI structure available",                        // 50
    "Level 2 halted",                                    // 51
    "Invalid exchange",                                  // 52
    "Invalid request descriptor",                        // 53
    "Exchange full",                                     // 54
    "No anode",                                          // 55
    "Invalid request code",                              // 56
    "Invalid slot",                                      // 57
    "Unknown error 58",                                  // 58
    "Bad font file format",                              // 59
    "Device not a stream",                               // 60
    "No data available",                                 // 61
    "Timer expired",                                     // 62
    "Out of streams resources",                          // 63
    "Machine is not on the network",                     // 64
    "Package not installed",                             // 65
    "Object is remote",                                  // 66
    "Link has been severed",                             // 67
    "Advertise error",                                   // 68
    "Srmount error",                                     // 69
    "Communication error on send",                       // 70
    "Protocol error",                                    // 71
    "Multihop attempted",                                // 72
    "RFS specific error",                                // 73
    "Bad message",                                       // 74
    "Value too large for defined data type",             // 75
    "Name not unique on network",                        // 76
    "File descriptor in bad state",                      // 77
    "Remote address changed",                            // 78
    "Can not access a needed shared library",            // 79
    "Accessing a corrupted shared library",              // 80
    ".lib section in a.out corrupted",                   // 81
    "Attempting to link in too many shared libraries",   // 82
    "Cannot exec a shared library directly",             // 83
    "Invalid or incomplete multibyte or wide character", // 84
    "Interrupted system call should be restarted",       // 85
    "Streams pipe error",                                // 86
    "Too many users",                                    // 87
    "Socket operation on non-socket",                    // 88
    "Destination address required",                      // 89
    "Message too long",                                  // 90
    "Protocol wrong type for socket",                    // 91
    "Protocol not available",                            // 92
    "Protocol not supported",                            // 93
    "Socket type not supported",                         // 94
    "Operation not supported",                           // 95
    "Protocol family not supported",                     // 96
    "Address family not supported by protocol",          // 97
    "Address already in use",                            // 98
    "Cannot assign requested address",                   // 99
    "Network is down",                                   // 100
    "Network is unreachable",                            // 101
    "Network dropped connection on reset",               // 102
    "Software caused connection abort",                  // 103
    "Connection reset by peer",                          // 104
    "No buffer space available",                         // 105
    "Transport endpoint is already connected",           // 106
    "Transport endpoint is not connected",               // 107
    "Cannot send after transport endpoint shutdown",     // 108
    "Too many references: cannot splice",                // 109
    "Connection timed out",                              // 110
    "Connection refused",                                // 111
    "Host is down",                                      // 112
    "No route to host",                                  // 113
    "Operation already in progress",                     // 114
    "Operation now in progress",                         // 115
    "Stale file handle",                                 // 116
    "Structure needs cleaning",                          // 117
    "Not a XENIX named type file",                       // 118
    "No XENIX semaphores available",                     // 119
    "Is a named type file",                              // 120
    "Remote I/O error",                                  // 121
    "Disk quota exceeded",                               // 122
    "No medium found",                                   // 123
    "Wrong medium type",                                 // 124
    "Operation canceled",                                // 125
    "Unknown Linux subsystem error",                     // 126
};

// Index n: the code of Linux errno n: a C runtime errno (subsystem 0), or the Linux subsystem's own code.
const U32 g_linuxErrnoToCode[kNumLinuxErrnoCodes] = {
    0,
    1,
    2,
    3,
    4,
    5,
    6,
    7,
    8,
    9,
    10,
    11,
    12,
    13,
    14,
    kLinux | 15,
    16,
    17,
    18,
    19,
    20,
    21,
    22,
    23,
    24,
    25,
    139,
    27,
    28,
    29,
    30,
    31,
    32,
    33,
    34,
    36,
    38,
    39,
    40,
    41,
    114,
    kLinux | 41,
    122,
    111,
    kLinux | 44,
    kLinux | 45,
    kLinux | 46,
    kLinux | 47,
    kLinux | 48,
    kLinux | 49,
    kLinux | 50,
    kLinux | 51,
    kLinux | 52,
    kLinux | 53,
    kLinux | 54,
    kLinux | 55,
    kLinux | 56,
    kLinux | 57,
    kLinux | 58,
    kLinux | 59,
    125,
    120,
    137,
    124,
    kLinux | 64,
    kLinux | 65,
    kLinux | 66,
    121,
    kLinux | 68,
    kLinux | 69,
    kLinux | 70,
    134,
    kLinux | 72,
    kLinux | 73,
    104,
    132,
    kLinux | 76,
    kLinux | 77,
    kLinux | 78,
    kLinux | 79,
    kLinux | 80,
    kLinux | 81,
    kLinux | 82,
    kLinux | 83,
    42,
    kLinux | 85,
    kLinux | 86,
    kLinux | 87,
    128,
    109,
    115,
    136,
    123,
    135,
    kLinux | 94,
    130,
    kLinux | 96,
    102,
    100,
    101,
    116,
    118,
    117,
    106,
    108,
    119,
    113,
    126,
    kLinux | 108,
    kLinux | 109,
    138,
    107,
    kLinux | 112,
    110,
    103,
    112,
    kLinux | 116,
    kLinux | 117,
    kLinux | 118,
    kLinux | 119,
    kLinux | 120,
    kLinux | 121,
    kLinux | 122,
    kLinux | 123,
    kLinux | 124,
    105,
};

// The C runtime's texts for errno 0 to 42.
const char* const g_crtErrnoTexts[kNumCrtErrnoTexts] = {
    "No error",                            // 0
    "Operation not permitted",             // 1
    "No such file or directory",           // 2
    "No such process",                     // 3
    "Interrupted function call",           // 4
    "Input/output error",                  // 5
    "No such device or address",           // 6
    "Arg list too long",                   // 7
    "Exec format error",                   // 8
    "Bad file descriptor",                 // 9
    "No child processes",                  // 10
    "Resource temporarily unavailable",    // 11
    "Not enough space",                    // 12
    "Permission denied",                   // 13
    "Bad address",                         // 14
    "Unknown error",                       // 15
    "Resource device",                     // 16
    "File exists",                         // 17
    "Improper link",                       // 18
    "No such device",                      // 19
    "Not a directory",                     // 20
    "Is a directory",                      // 21
    "Invalid argument",                    // 22
    "Too many open files in system",       // 23
    "Too many open files",                 // 24
    "Inappropriate I/O control operation", // 25
    "Unknown error",                       // 26
    "File too large",                      // 27
    "No space left on device",             // 28
    "Invalid seek",                        // 29
    "Read-only file system",               // 30
    "Too many links",                      // 31
    "Broken pipe",                         // 32
    "Domain error",                        // 33
    "Result too large",                    // 34
    "Unknown error",                       // 35
    "Resource deadlock avoided",           // 36
    "Unknown error",                       // 37
    "Filename too long",                   // 38
    "No locks available",                  // 39
    "Function not implemented",            // 40
    "Directory not empty",                 // 41
    "Illegal byte sequence",               // 42
};

// The C runtime's texts for its POSIX supplement, errno 100 (EADDRINUSE) to 140 (EWOULDBLOCK).
const char* const g_crtPosixErrnoTexts[kNumCrtPosixErrnoTexts] = {
    "Address already in use",                   // 100
    "Cannot assign requested address",          // 101
    "Address family not supported by protocol", // 102
    "Operation already in progress",            // 103
    "Bad message",                              // 104
    "Operation canceled",                       // 105
    "Software caused connection abort",         // 106
    "Connection refused",                       // 107
    "Connection reset by peer",                 // 108
    "Destination address required",             // 109
    "No route to host",                         // 110
    "Identifier removed",                       // 111
    "Operation now in progress",                // 112
    "Transport endpoint is already connected",  // 113
    "Too many levels of symbolic links",        // 114
    "Message too long",                         // 115
    "Network is down",                          // 116
    "Network dropped connection on reset",      // 117
    "Network is unreachable",                   // 118
    "No buffer space available",                // 119
    "No data available",                        // 120
    "Link has been severed",                    // 121
    "No message of desired type",               // 122
    "Protocol not available",                   // 123
    "Out of streams resources",                 // 124
    "Device not a stream",                      // 125
    "Transport endpoint is not connected",      // 126
    "State not recoverable",                    // 127
    "Socket operation on non-socket",           // 128
    "Not supported",                            // 129
    "Operation not supported",                  // 130
    "Other error",                              // 131
    "Value too large for defined data type",    // 132
    "Owner died",                               // 133
    "Protocol error",                           // 134
    "Protocol not supported",                   // 135
    "Protocol wrong type for socket",           // 136
    "Timer expired",                            // 137
    "Connection timed out",                     // 138
    "Text file busy",                           // 139
    "Operation would block",                    // 140
};
