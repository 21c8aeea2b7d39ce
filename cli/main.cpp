// vextune: makes signatures of audio files and prints signatures as text,
// with the engine and the audio decoder only; every other command is run by
// vextune-tools, which it hands them over to.
#include "command_line.h"
#include "handover.h"

int main(int argc, char** argv)
{
    return vxt::cli::run_command_line(argc, argv, vxt::cli::commands(), vxt::cli::hand_over);
}
