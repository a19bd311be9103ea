# A private PulseAudio server for the real-audio tests, with a virtual microphone that the tests
# feed with speech. Sourced, not run: start_test_audio exports what the tests need to find it,
# stop_test_audio ends it.
#
#   speakers  null sink, the default output: playback goes nowhere, at the take rate
#   micfeed   null sink the tests play speech into (paplay -d micfeed)
#   testmic   the default input: a remap of micfeed's monitor, because Qt never lists monitors

TEST_AUDIO_DIR=""
TEST_AUDIO_PID=""
TEST_AUDIO_KEEPALIVE=""
TEST_AUDIO_SPEAKERS_KEEPALIVE=""

start_test_audio() {
    TEST_AUDIO_DIR=$(mktemp -d /tmp/quorbel-audio.XXXXXX)
    mkdir -p -m 700 "$TEST_AUDIO_DIR/runtime" "$TEST_AUDIO_DIR/home"
    local socket="$TEST_AUDIO_DIR/runtime/native"

    # -n loads no default configuration; the one module keeps the server from refusing to
    # start, and anonymous access spares the tests a cookie.
    XDG_RUNTIME_DIR="$TEST_AUDIO_DIR/runtime" HOME="$TEST_AUDIO_DIR/home" \
        pulseaudio -D -n --exit-idle-time=-1 --disallow-exit --use-pid-file=yes \
        --log-target="file:$TEST_AUDIO_DIR/server.log" \
        -L "module-native-protocol-unix socket=$socket auth-anonymous=1"

    export PULSE_SERVER="unix:$socket"
    # No client of the tests may start a server of its own or read the user's configuration.
    export PULSE_CLIENTCONFIG="$TEST_AUDIO_DIR/client.conf"
    printf 'autospawn = no\n' >"$PULSE_CLIENTCONFIG"

    local tries=0
    until pactl info >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then
            echo "The test sound server did not start; its log:" >&2
            cat "$TEST_AUDIO_DIR/server.log" >&2 || true
            return 1
        fi
        sleep 0.05
    done
    TEST_AUDIO_PID=$(cat "$TEST_AUDIO_DIR/runtime/pulse/pid" 2>/dev/null || pgrep -n -x pulseaudio)

    # The server's default is 44.1 kHz stereo; everything runs at the take rate so that no
    # resampling blurs what the tests compare.
    pactl load-module module-null-sink sink_name=speakers rate=48000 format=s32le \
        sink_properties=device.description=Test-Speakers >/dev/null
    pactl load-module module-null-sink sink_name=micfeed rate=48000 channels=1 format=s32le \
        sink_properties=device.description=Microphone-Feed >/dev/null
    pactl load-module module-remap-source source_name=testmic master=micfeed.monitor \
        rate=48000 channels=1 format=s32le \
        source_properties=device.description=Quorbel-Test-Microphone >/dev/null
    pactl set-default-sink speakers
    pactl set-default-source testmic
    pactl set-sink-volume speakers 100%
    pactl set-sink-volume micfeed 100%
    pactl set-source-volume testmic 100%

    # An idle null sink suspends, and the first second of a take would be lost while it wakes.
    parec -d testmic --rate=48000 --channels=1 --latency-msec=20 >/dev/null 2>&1 &
    TEST_AUDIO_KEEPALIVE=$!

    # A null sink with no stream renders two seconds ahead of the clock, and a new stream is then
    # not heard until the clock catches up. A low-latency listener that is there when the sink
    # starts keeps it in step with the clock, as a sound card is.
    pactl suspend-sink speakers 1
    parec -d speakers.monitor --rate=48000 --latency-msec=20 >/dev/null 2>&1 &
    TEST_AUDIO_SPEAKERS_KEEPALIVE=$!
    local monitor
    monitor=$(pactl list short sources | awk '$2 == "speakers.monitor" { print $1 }')
    tries=0
    until pactl list short source-outputs | awk -v m="$monitor" '$2 == m { f = 1 } END { exit !f }'; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then
            echo "Nothing would listen to the test speakers" >&2
            return 1
        fi
        sleep 0.05
    done
    pactl suspend-sink speakers 0

    export QUORBEL_TEST_MIC_FEED=micfeed
    export QUORBEL_TEST_MIC_NAME=Quorbel-Test-Microphone
    export QUORBEL_TEST_AUDIO_SERVER_PID="$TEST_AUDIO_PID"
}

stop_test_audio() {
    [ -n "$TEST_AUDIO_KEEPALIVE" ] && kill "$TEST_AUDIO_KEEPALIVE" 2>/dev/null || true
    [ -n "$TEST_AUDIO_SPEAKERS_KEEPALIVE" ] && kill "$TEST_AUDIO_SPEAKERS_KEEPALIVE" 2>/dev/null || true
    [ -n "$TEST_AUDIO_PID" ] && kill "$TEST_AUDIO_PID" 2>/dev/null || true
    [ -n "$TEST_AUDIO_DIR" ] && rm -rf "$TEST_AUDIO_DIR"
    TEST_AUDIO_DIR="" TEST_AUDIO_PID="" TEST_AUDIO_KEEPALIVE="" TEST_AUDIO_SPEAKERS_KEEPALIVE=""
}
