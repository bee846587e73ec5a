<?php
// The notes, kept in one JSON file outside the project folder (every file in
// the project folder is served to any browser that asks for it).
//
// The server may kill any PHP process at any statement: a page whose browser
// has gone, every process at shutdown. So a read never writes, and a write
// goes to a temporary file that replaces the list in one step: a process
// killed midway leaves the old list whole.

declare(strict_types=1);

function notes_dir(): string
{
    $dir = getenv('NOTES_DATA') ?: ((getenv('HOME') ?: sys_get_temp_dir()) . '/.local/share/vexa-notes');
    if (!is_dir($dir)) {
        mkdir($dir, 0700, true);
    }
    return $dir;
}

function notes_all(): array
{
    $file = notes_dir() . '/notes.json';
    return is_file($file) ? (json_decode((string) file_get_contents($file), true) ?: []) : [];
}

function notes_add(string $author, string $text, string $attachment = ''): array
{
    // One writer at a time: pages and the WebSocket application run as
    // separate processes at the same time.
    $lock = fopen(notes_dir() . '/notes.lock', 'c');
    flock($lock, LOCK_EX);
    $notes = notes_all();
    $note = ['id' => count($notes) + 1, 'author' => $author, 'text' => $text, 'attachment' => $attachment];
    $notes[] = $note;
    $temp = notes_dir() . '/notes.json.' . getmypid();
    file_put_contents($temp, json_encode($notes, JSON_UNESCAPED_UNICODE));
    rename($temp, notes_dir() . '/notes.json');
    fclose($lock);
    return $note;
}
