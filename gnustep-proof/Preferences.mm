// The Linux proof build's stand-in for the part of Preferences.framework the
// settings pane uses (include/Preferences/): specifier lists read from the
// controller's bundle as the framework reads them, and cells that ask the
// getter and hand values to the setter. No table view: a test looks at
// what each cell would show through its getter.
#import <Preferences/PSListController.h>

namespace {

PSCellType cellTypeNamed(id name) {
    static NSString* const names[] = {
        @"PSGroupCell",          @"PSLinkCell",    @"PSLinkListCell",    @"PSListItemCell",
        @"PSTitleValueCell",     @"PSSliderCell",  @"PSSwitchCell",      @"PSStaticTextCell",
        @"PSEditTextCell",       @"PSSegmentCell", @"PSGiantIconCell",   @"PSGiantCell",
        @"PSSecureEditTextCell", @"PSButtonCell",  @"PSEditTextViewCell"};
    for (NSUInteger i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if ([names[i] isEqual:name]) return static_cast<PSCellType>(i);
    }
    return PSGroupCell;
}

SEL selectorNamed(id name, SEL fallback) {
    return [name isKindOfClass:[NSString class]] ? NSSelectorFromString(name) : fallback;
}

}  // namespace

// Accessors by hand: GCC's synthesized setters warn about their own parameter.
@implementation PSSpecifier

- (NSString*)name {
    return _name;
}
- (void)setName:(NSString*)name {
    [_name autorelease];
    _name = [name retain];
}
- (NSString*)identifier {
    return _identifier;
}
- (void)setIdentifier:(NSString*)identifier {
    [_identifier autorelease];
    _identifier = [identifier retain];
}
- (NSMutableDictionary*)properties {
    return _properties;
}
- (void)setProperties:(NSMutableDictionary*)properties {
    [_properties autorelease];
    _properties = [properties retain];
}
- (PSCellType)cellType {
    return cellType;
}
- (void)setCellType:(PSCellType)type {
    cellType = type;
}

- (void)dealloc {
    [_name release];
    [_identifier release];
    [_properties release];
    [super dealloc];
}

- (id)propertyForKey:(NSString*)key {
    return [_properties objectForKey:key];
}

- (void)setProperty:(id)value forKey:(NSString*)key {
    if (_properties == nil) _properties = [[NSMutableDictionary alloc] init];
    [_properties setObject:value forKey:key];
}

- (id)performGetter {
    return getter == nullptr ? nil : [target performSelector:getter withObject:self];
}

- (void)performSetterWithValue:(id)value {
    if (setter != nullptr) [target performSelector:setter withObject:value withObject:self];
}
@end

@implementation PSViewController
@end

@implementation PSListController

- (void)dealloc {
    [_specifiers release];
    [super dealloc];
}

// The framework's controllers find their plists in their -bundle, by
// default the bundle of the image their class came from.
- (NSBundle*)bundle {
    return [NSBundle bundleForClass:[self class]];
}

- (NSMutableArray*)loadSpecifiersFromPlistName:(NSString*)name target:(id)target {
    NSBundle* bundle = [self bundle];
    NSDictionary* root =
        [NSDictionary dictionaryWithContentsOfFile:[bundle pathForResource:name ofType:@"plist"]];
    NSMutableArray* list = [NSMutableArray array];
    NSArray* items = [root objectForKey:@"items"];
    // g++ knows no fast enumeration in Objective-C++.
    for (NSUInteger i = 0; i < [items count]; ++i) {
        NSDictionary* item = [items objectAtIndex:i];
        PSSpecifier* specifier = [[[PSSpecifier alloc] init] autorelease];
        specifier.properties = [[item mutableCopy] autorelease];
        specifier.name = [item objectForKey:@"label"];
        id identifier = [item objectForKey:@"id"];
        specifier.identifier = identifier != nil ? identifier : specifier.name;
        specifier.cellType = cellTypeNamed([item objectForKey:@"cell"]);
        specifier->target = target;
        specifier->getter =
            selectorNamed([item objectForKey:@"get"], @selector(readPreferenceValue:));
        specifier->setter =
            selectorNamed([item objectForKey:@"set"], @selector(setPreferenceValue:specifier:));
        specifier->action = selectorNamed([item objectForKey:@"action"], nullptr);
        [list addObject:specifier];
    }
    return list;
}

- (NSArray*)specifiers {
    return _specifiers;
}

- (void)reloadSpecifiers {
    [_specifiers release];
    _specifiers = nil;
    [self specifiers];
}

- (void)reloadSpecifier:(PSSpecifier*)specifier animated:(BOOL)animated {
    (void)animated;
    [specifier performGetter];
}

- (PSSpecifier*)specifierForID:(NSString*)identifier {
    for (NSUInteger i = 0; i < [_specifiers count]; ++i) {
        PSSpecifier* specifier = [_specifiers objectAtIndex:i];
        if ([specifier.identifier isEqual:identifier]) return specifier;
    }
    return nil;
}

- (id)readPreferenceValue:(PSSpecifier*)specifier {
    (void)specifier;
    return nil;
}

- (void)setPreferenceValue:(id)value specifier:(PSSpecifier*)specifier {
    (void)value;
    (void)specifier;
}

@end
