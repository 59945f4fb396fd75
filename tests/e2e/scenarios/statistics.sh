#!/usr/bin/env bash
# While connected the statistics change every 2 s: the traffic figures and
# the graph on the screen, and one sample line in the log per poll.
. "$(dirname "$0")/../lib.sh"
e2e_begin statistics

seed_installed
start_app /l /n
w=$(main_window)
connect_from_main_page "$w"
before=$(log_count 'src: THREAD-new-stat')
crop "$w" "$STATS_BOX" "$WORK/stats-0.png"
shot "stats-0" >/dev/null
changes=0
for i in 1 2 3; do
    sleep 2.1
    crop "$w" "$STATS_BOX" "$WORK/stats-$i.png"
    shot "stats-$i" >/dev/null
    n=$(differing_pixels "$WORK/stats-$((i - 1)).png" "$WORK/stats-$i.png")
    e2e_log "after $((i * 2)) s: $n pixels of the figures changed"
    [ "$n" -gt 10 ] && changes=$((changes + 1))
done
crop "$w" "$GRAPH_BOX" "$WORK/graph.png"
[ "$changes" -ge 2 ] || e2e_fail "the figures changed $changes times in 6 s, expected every 2 s"
after=$(log_count 'src: THREAD-new-stat')
samples=$((after - before))
[ "$samples" -ge 2 ] && [ "$samples" -le 5 ] || e2e_fail "$samples statistics samples in 6.3 s, expected one per 2 s"
# The received count grows from sample to sample.
grep 'src: THREAD-new-stat' "$(LOG_FILE)" | sed -n 's/.*Received \([0-9]*\) .*/\1/p' >"$WORK/received"
sort -n -c "$WORK/received" 2>/dev/null || e2e_fail "received bytes went backwards: $(tr '\n' ' ' <"$WORK/received")"
[ "$(sort -u "$WORK/received" | wc -l)" -ge 2 ] || e2e_fail "received bytes never changed"
e2e_log "samples: $samples, received: $(tr '\n' ' ' <"$WORK/received")"
E2E_RESULT=0
