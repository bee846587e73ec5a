<?php
// The notes, kept in one JSON file outside the project folder (every file in
// the project folder is served to any browser that asks for it).

declare(strict_types=1);

function notes_dir(): string
{
    $dir = getenv('NOTES_DATA') ?: ((getenv('HOME') ?: sys_get_temp_dir()) . '/.local/share/vexa-notes');
    if (!is_dir($dir)) {
        mkdir($dir, 0700, true);
    }
    return $dir;
}

// Runs $change on the list of notes under a lock (pages and the WebSocket
// application run as separate processes at the same time) and saves it.
function notes_update(callable $change)
{
    $file = fopen(notes_dir() . '/notes.json', 'c+');
    flock($file, LOCK_EX);
    $notes = json_decode((string) stream_get_contents($file), true) ?: [];
    $result = $change($notes);
    ftruncate($file, 0);
    rewind($file);
    fwrite($file, json_encode($notes, JSON_UNESCAPED_UNICODE));
    fclose($file);
    return $result;
}

function notes_all(): array
{
    return notes_update(fn (array $notes) => $notes);
}

function notes_add(string $author, string $text, string $attachment = ''): array
{
    return notes_update(function (array &$notes) use ($author, $text, $attachment): array {
        $note = ['id' => count($notes) + 1, 'author' => $author, 'text' => $text, 'attachment' => $attachment];
        $notes[] = $note;
        return $note;
    });
}
