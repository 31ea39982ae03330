// Numbers as people write them in running text, from the words the decoder
// hears: digits from ten up ("25 people", "the 21st", "12,500"), for a
// clock time after "at", "by", "until" and the like ("at 3:30") and for a
// year ("1999", "2026"); one to nine ("one of them", "the third") stay
// words, as does any run of number words that does not make one number
// ("one two three"), whose digits the speaker may have meant either way.
// A pure function; any thread.
#pragma once

#include <string>
#include <vector>

namespace dictate {

// `words` (in lower case) with each number written as above; every other
// word is kept as it is.
std::vector<std::string> writeNumbers(const std::vector<std::string>& words);

}  // namespace dictate
