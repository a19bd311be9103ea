.pragma library

// Seconds as minutes, a colon and two-digit seconds: 0:07, 1:00, 62:05. The seconds are cut
// towards zero; negative (and unreadable) values count as 0; minutes never wrap into hours.
function time(seconds) {
    const whole = Math.max(0, Math.trunc(Number(seconds)) || 0)
    const minutes = Math.floor(whole / 60)
    const rest = whole % 60
    return minutes + ":" + (rest < 10 ? "0" : "") + rest
}
