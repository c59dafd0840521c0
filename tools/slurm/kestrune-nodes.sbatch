#!/bin/bash
# kestrune-nodes.sbatch: measures every node of a Slurm allocation with
# kestrune, one task per node with the whole node to itself, and compares the
# nodes in one table. Needs Slurm 20.11 or later (srun --whole).
#
#   sbatch --nodes=N --time=MINUTES [--partition=P] kestrune-nodes.sbatch \
#          [OPTION]... [-- KESTRUNE-OPTION...]
#
# Each node writes its JSON report to DIR/NODE-JOB.json (its text report to
# NODE-JOB.txt, its standard error to NODE-JOB.err, its exit status to
# NODE-JOB.exit); a report is renamed to .json only after a complete run, so
# DIR holds only whole reports and a failed node's partial one stays as
# NODE-JOB.json.part. Then `kestrune-report --compare DIR` prints the table
# into the job's output and writes it as CSV beside that output. Nodes that
# failed (non-zero exit, time-out, no exit status at all) are listed by name
# with their exit status; the others are still compared.
#
# Options (before the "--"; what follows it goes to kestrune in place of the
# default options):
#   --dir DIR               where the reports go, on a file system every node
#                           shares (default: kestrune-nodes-JOB in the job's
#                           working directory; an array's tasks share one);
#                           every *.json in it is compared, so a
#                           directory that keeps earlier jobs' reports
#                           compares them too
#   --compare-csv FILE      the comparison as CSV (default: the job's output
#                           file with .csv in place of its extension)
#   --tolerance PERCENT     flag a figure more than PERCENT worse than the
#                           median of the nodes of the same processor model
#                           (kestrune-report's default when not given: 10)
#   --kestrune PATH         the benchmark (default: kestrune on PATH)
#   --kestrune-report PATH  the report tool (default: kestrune-report on PATH)
#   --reserve SECONDS       time kept at the end of the job's time limit for
#                           the comparison: the measurement is stopped that
#                           long before the limit (default 120)
#
# Exit status: 0 when every node was measured and compared; 1 when a node
# failed (the others compared) or the comparison could not be made; 64 for
# options it cannot take.
#
#SBATCH --job-name=kestrune-nodes
#SBATCH --ntasks-per-node=1
#SBATCH --exclusive
#SBATCH --no-kill
#SBATCH --output=kestrune-nodes-%j.out

set -u

DEFAULT_KESTRUNE_OPTIONS=(--isa all --threads all --latency --max-size 1GB --repeat 3)
# `timeout` exits 124 when it stopped kestrune.
TIMED_OUT=124

usage_error() {
    echo "kestrune-nodes: $1" >&2
    exit 64
}

# Seconds this job has left before its time limit, or nothing without a limit.
seconds_left() {
    local left days=0 hours=0 minutes=0 seconds=0 parts
    left=$(squeue --noheader --jobs="$SLURM_JOB_ID" --format=%L 2>/dev/null) || return 0
    left=${left//[[:space:]]/}
    [[ $left =~ ^([0-9]+-)?[0-9:]+$ ]] || return 0
    if [[ $left == *-* ]]; then
        days=${left%%-*}
        left=${left#*-}
    fi
    IFS=: read -r -a parts <<< "$left"
    seconds=${parts[-1]}
    [ ${#parts[@]} -ge 2 ] && minutes=${parts[-2]}
    [ ${#parts[@]} -ge 3 ] && hours=${parts[-3]}
    echo $(( ((10#$days * 24 + 10#$hours) * 60 + 10#$minutes) * 60 + 10#$seconds ))
}

# Runs on every node, as the step's one task there: kestrune with the given
# options, its exit status and files named by node and job.
measure_node() {
    local dir=$1 limit=$2 status
    shift 2
    local name="$dir/${SLURMD_NODENAME:-$(hostname -s)}-$SLURM_JOB_ID"
    local limited=()
    [ -n "$limit" ] && limited=(timeout --kill-after=30 "$limit")
    "${limited[@]}" "$@" --json "$name.json.part" > "$name.txt" 2> "$name.err"
    status=$?
    [ $status -eq 0 ] && mv -f "$name.json.part" "$name.json"
    echo $status > "$name.exit"
    return $status
}

kestrune=kestrune
report=kestrune-report
dir=
csv=
tolerance=()
reserve=120
while [ $# -gt 0 ]; do
    case "$1" in
        --dir|--compare-csv|--tolerance|--kestrune|--kestrune-report|--reserve)
            [ $# -ge 2 ] || usage_error "option $1 needs a value"
            case "$1" in
                --dir) dir=$2 ;;
                --compare-csv) csv=$2 ;;
                --tolerance) tolerance=(--tolerance "$2") ;;
                --kestrune) kestrune=$2 ;;
                --kestrune-report) report=$2 ;;
                --reserve)
                    [[ $2 =~ ^[0-9]+$ ]] || usage_error "option --reserve takes a whole number of seconds"
                    reserve=$2 ;;
            esac
            shift 2 ;;
        --) shift; break ;;
        *) usage_error "unknown option $1 (the job's options are --dir, --compare-csv, --tolerance, --kestrune, --kestrune-report and --reserve; kestrune's own follow --)" ;;
    esac
done
kestrune_options=("$@")
[ ${#kestrune_options[@]} -gt 0 ] || kestrune_options=("${DEFAULT_KESTRUNE_OPTIONS[@]}")
[ -n "${SLURM_JOB_ID:-}" ] || usage_error "not in a Slurm job: submit it with sbatch"

job=$SLURM_JOB_ID
# The job starts in its working directory: sbatch's --chdir, else where sbatch ran.
[ -n "$dir" ] || dir="$PWD/kestrune-nodes-${SLURM_ARRAY_JOB_ID:-$job}"
if [ -z "$csv" ]; then
    # An array's job id shows every task; the task's own id shows just it.
    task=${SLURM_ARRAY_JOB_ID:+${SLURM_ARRAY_JOB_ID}_${SLURM_ARRAY_TASK_ID}}
    output=$(scontrol show job "${task:-$job}" 2>/dev/null | sed -n 's/^ *StdOut=//p' | head -n 1)
    [ -n "$output" ] || output="$dir/kestrune-nodes-$job.out"
    csv="${output%.*}.csv"
fi
mkdir -p "$dir" || exit 1

limit=
left=$(seconds_left)
if [ -n "$left" ]; then
    limit=$(( left - reserve ))
    [ $limit -ge 1 ] || limit=1
fi
mapfile -t nodes < <(scontrol show hostnames "$SLURM_JOB_NODELIST")

echo "kestrune-nodes: job $job on ${#nodes[@]} node(s): ${nodes[*]}"
echo "kestrune-nodes: $kestrune ${kestrune_options[*]} --json $dir/NODE-$job.json${limit:+ (stopped after $limit s)}"
# The job has its nodes to itself (--exclusive above); --whole gives the step
# every processor of each, where a step's own --exclusive would give it only
# the one processor its task asks for, and --threads all would find one.
srun --ntasks-per-node=1 --whole --kill-on-bad-exit=0 \
    bash -c "$(declare -f measure_node); measure_node \"\$@\"" measure_node \
    "$dir" "$limit" "$kestrune" "${kestrune_options[@]}"

failed=()
for node in "${nodes[@]}"; do
    name="$dir/$node-$job"
    if [ ! -r "$name.exit" ]; then
        failed+=("$node: no exit status (the task never ended: node lost, step killed or cancelled)")
        continue
    fi
    status=$(< "$name.exit")
    [ "$status" = 0 ] && continue
    if [ "$status" = $TIMED_OUT ]; then
        why="timed out after $limit s"
    else
        why=$(tail -n 1 "$name.err" 2>/dev/null)
    fi
    failed+=("$node: exit $status${why:+: $why}")
done

compared=1
echo
if compgen -G "$dir/*.json" > /dev/null; then
    "$report" --compare "$dir" --csv "$csv" "${tolerance[@]}" && compared=0
    [ $compared -eq 0 ] && echo "kestrune-nodes: comparison as CSV in $csv"
else
    echo "kestrune-nodes: no report to compare in $dir"
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo
    echo "Failed nodes (${#failed[@]} of ${#nodes[@]}):"
    printf '%s\n' "${failed[@]}"
fi
[ ${#failed[@]} -eq 0 ] && [ $compared -eq 0 ]
