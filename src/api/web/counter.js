// The reply box's counter, counting as the composer does: 7-bit text in the GSM default
// alphabet (an extension-table character takes two septets), 160 septets in one message or 153
// per part; UCS2 as soon as a character has no GSM code (or the text holds the guillemet that
// asks for it, behind a 0x01 character), 70 units in one message or 67 per part; a part never
// ends inside an escape pair or a surrogate pair. The alphabet comes from the server's table.

const kMaxSeptets = 160;
const kConcatSeptets = 153;
const kMaxUnits = 70;
const kConcatUnits = 67;
const kMaxSegments = 255;
const kUCS2Marker = '\u00BB';

let single = new Set();
let twice = new Set();

export function setAlphabet(alphabet) {
  single = new Set(alphabet.single);
  twice = new Set(alphabet.double);
}

// Pieces of at most size units, where pairStart(i) says a pair starts at i.
function pieces(length, size, pairStart) {
  let count = 0;
  let i = 0;
  while (i < length) {
    let end = i;
    while (end < length) {
      const step = pairStart(end) ? 2 : 1;
      if (end + step - i > size) break;
      end += step;
    }
    count += 1;
    i = end;
  }
  return count;
}

// {characters, messages, coding} or {characters, error}.
export function count(text) {
  const characters = text.length; // UTF-16 units, as the window counts
  let coding = 'gsm7';
  let messages;
  const ucs2 = text.includes(kUCS2Marker) || [...text].some((c) => !single.has(c) && !twice.has(c));
  if (ucs2) {
    coding = 'ucs2';
    const units = text.includes(kUCS2Marker) ? '\u0001' + text : text;
    const high = (i) => {
      const c = units.charCodeAt(i);
      const d = units.charCodeAt(i + 1);
      return c >= 0xd800 && c <= 0xdbff && d >= 0xdc00 && d <= 0xdfff;
    };
    messages = units.length <= kMaxUnits ? 1 : pieces(units.length, kConcatUnits, high);
  } else {
    const escaped = [];
    for (const c of text) {
      if (twice.has(c)) escaped.push(true, false);
      else escaped.push(false);
    }
    messages = escaped.length <= kMaxSeptets ? 1 : pieces(escaped.length, kConcatSeptets, (i) => escaped[i]);
  }
  if (messages > kMaxSegments) return { characters, error: 'Message too long' };
  return { characters, messages, coding };
}

// "12 characters, 1 message", as the window's counter says it.
export function counterText(text) {
  const c = count(text);
  if (c.error) return `${c.characters} characters, ${c.error}`;
  return `${c.characters} characters, ${c.messages === 1 ? '1 message' : `${c.messages} messages`}`;
}
