#include "usage.h"

namespace flash {

std::string_view usage_text() {
  return R"(Usage: flash-card [IMAGE] [OPTIONS]

Writes a Raspberry Pi OS image (.xz, .gz, .bz2, .zst, .zip or raw) to a
removable card through windows_helper, checks that every byte arrived and
that the card will boot. Run it from an administrator console.

Examples:
  flash-card
      list the cards, with the volumes on each
  flash-card raspios.img.xz --disk E: --file firstrun.sh=firstrun.sh
      flash the card that holds E:, with a first-boot file
  flash-card raspios.img.xz --disk 2 --disk 3 --yes
      flash two cards at once, without asking

Options:
  IMAGE                  the image to write
  --disk N|E:|PATH       the card: its number or path from the list, or the
                         letter of a volume on it; repeat it for several
                         cards (without it: list the cards)
  -y, --yes              erase the card without asking
  --reformat             make the --disk card one exFAT volume again
  --dry-run              run every check, then stop before the card is touched
  --file CARD=HOST       a first-boot file for the boot partition, repeatable
  --cmdline-append TEXT  text to add to the card's cmdline.txt
  --prepared             decompress an .xz image into a file first, then write
                         that file (default: decode it straight onto the card)
  --prepared-image FILE  where the decompressed image goes (implies --prepared)
  --cache DIR            the folder for the decompressed image, made when
                         missing (implies --prepared)
  --keep-image           keep the decompressed image (implies --prepared)
  --full                 write every byte, the free space of the image's file
                         systems too (default: skip it; the card keeps its old
                         contents there)
  --transcript FILE      write every request and every helper line to FILE
  --json                 print the helper's JSON lines instead of the display
  --verbose              with a failure, the helper's command, code and words
  --helper FILE          the windows_helper program (default: the one next to
                         flash-card)
  -h, --help             this help
  --version              flash-card's version

Exit status:
  0    the card is ready (or the cards were listed, or a dry run passed)
  1    the flash failed; the "Card state:" line says what the card holds
  2    the command line, or the image or card it names, is wrong; nothing
       was touched
  3    the answer at the prompt was not yes; nothing was touched
  130  interrupted (Ctrl+C); the "Stopped:" line says what the card holds
)";
}

}  // namespace flash
