// Melodies of messages played with Web Audio: each tone [Hz, ms] a square wave with a short fade
// at both ends, a rest (0 Hz) silence. One melody plays at a time.
let playing = null;

export function stop() {
  if (!playing) return;
  playing.context.close();
  playing.button.textContent = 'Play';
  playing.button.setAttribute('aria-pressed', 'false');
  playing = null;
}

export function toggle(button, tones) {
  const was = playing && playing.button === button;
  stop();
  if (was) return;
  const context = new AudioContext();
  const gain = context.createGain();
  gain.connect(context.destination);
  gain.gain.value = 0;
  let t = context.currentTime + 0.05;
  const oscillator = context.createOscillator();
  oscillator.type = 'square';
  oscillator.connect(gain);
  for (const [frequency, ms] of tones) {
    const length = ms / 1000;
    if (frequency > 0) {
      oscillator.frequency.setValueAtTime(frequency, t);
      gain.gain.setValueAtTime(0, t);
      gain.gain.linearRampToValueAtTime(0.15, t + 0.005);
      gain.gain.setValueAtTime(0.15, Math.max(t + 0.005, t + length - 0.01));
      gain.gain.linearRampToValueAtTime(0, t + length);
    }
    t += length;
  }
  oscillator.start();
  oscillator.stop(t);
  oscillator.onended = () => {
    if (playing && playing.context === context) stop();
  };
  playing = { context, button };
  button.textContent = 'Stop';
  button.setAttribute('aria-pressed', 'true');
}
