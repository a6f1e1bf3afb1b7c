// lumo-records-writer.exe PATH MOTOR COUNT: one of the processes of the
// record store's test of several programs writing at once (RecordWriter.h),
// started by that test on Windows, where there is no fork(). Its exit
// status is the writer's.

#include <cstdlib>

#include "RecordWriter.h"

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const auto motor = static_cast<uint16_t>(std::strtoul(argv[2], nullptr, 10));
    return WriteRecordsAsOneOfMany(argv[1], motor, std::atoi(argv[3]));
}
